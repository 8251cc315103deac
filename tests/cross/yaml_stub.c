// SPDX-License-Identifier: BSD-2-Clause
/*
 * SPDX-License-Identifier: BSD-2-Clause
 * A link stub of libyaml for the FreeBSD cross build: the functions
 * volscan-exporter calls, with the library's own prototypes, built as
 * libyaml-0.so.2 like textproc/libyaml's. Nothing here runs.
 */
#include <yaml.h>

int yaml_parser_initialize(yaml_parser_t* parser)
{
    (void)parser;
    return 0;
}

void yaml_parser_delete(yaml_parser_t* parser)
{
    (void)parser;
}

void yaml_parser_set_input_string(yaml_parser_t* parser, const unsigned char* input, size_t size)
{
    (void)parser, (void)input, (void)size;
}

int yaml_parser_load(yaml_parser_t* parser, yaml_document_t* document)
{
    (void)parser, (void)document;
    return 0;
}

void yaml_document_delete(yaml_document_t* document)
{
    (void)document;
}

yaml_node_t* yaml_document_get_node(yaml_document_t* document, int index)
{
    (void)document, (void)index;
    return 0;
}

yaml_node_t* yaml_document_get_root_node(yaml_document_t* document)
{
    (void)document;
    return 0;
}

int yaml_parser_parse(yaml_parser_t* parser, yaml_event_t* event)
{
    (void)parser, (void)event;
    return 0;
}

void yaml_event_delete(yaml_event_t* event)
{
    (void)event;
}
