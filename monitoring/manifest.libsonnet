// SPDX-License-Identifier: BSD-2-Clause
// Rendering to YAML and JSON with the standard library's replace alone: its
// own manifest functions escape strings one character at a time, which makes
// the rules and the dashboard take seconds each.
local oneLine(s) =
  assert std.strReplace(std.strReplace(s, '\n', ''), '\t', '') == s : 'a string with a line break or a tab: ' + s;
  s;

// Rule files read best with the rule's name first and its annotations last.
local order = ['name', 'interval', 'rules', 'alert', 'record', 'expr', 'for', 'labels', 'annotations', 'summary', 'description'];
local rank(key) =
  local at = std.find(key, order);
  if std.length(at) > 0 then '%02d' % at[0] else '99' + key;
local fields(object) = std.sort(std.objectFields(object), rank);

local yamlScalar(value) =
  if std.isString(value) then "'" + std.strReplace(oneLine(value), "'", "''") + "'"
  else if value == null then 'null'
  else std.toString(value);

local nonEmpty(value) = (std.isObject(value) || std.isArray(value)) && std.length(value) > 0;

// The lines of an object or an array, each starting with indent.
local yamlLines(value, indent) =
  if std.isObject(value) then
    std.flattenArrays([
      if nonEmpty(value[key]) then [indent + key + ':'] + yamlLines(value[key], indent + '  ')
      else [indent + key + ': ' + (if std.isObject(value[key]) then '{}'
                                  else if std.isArray(value[key]) then '[]'
                                  else yamlScalar(value[key]))]
      for key in fields(value)
    ])
  else
    std.flattenArrays([
      if nonEmpty(item) then
        local inner = yamlLines(item, indent + '  ');
        [indent + '- ' + std.substr(inner[0], std.length(indent) + 2, std.length(inner[0]))]
        + inner[1:]
      else [indent + '- ' + yamlScalar(item)]
      for item in value
    ]);

local jsonString(s) =
  '"' + std.strReplace(std.strReplace(oneLine(s), '\\', '\\\\'), '"', '\\"') + '"';

local jsonLines(value, indent, last) =
  local comma = if last then '' else ',';
  local inner(items, open, close, render) =
    if std.length(items) == 0 then [open + close + comma]
    else [open]
         + std.flattenArrays([render(items[i], i == std.length(items) - 1)
                              for i in std.range(0, std.length(items) - 1)])
         + [indent + close + comma];
  if std.isObject(value) then
    inner(std.objectFields(value), '{', '}', function(key, end)
      local lines = jsonLines(value[key], indent + '  ', end);
      [indent + '  ' + jsonString(key) + ': ' + lines[0]] + lines[1:])
  else if std.isArray(value) then
    inner(value, '[', ']', function(item, end)
      local lines = jsonLines(item, indent + '  ', end);
      [indent + '  ' + lines[0]] + lines[1:])
  else if std.isString(value) then [jsonString(value) + comma]
  else if value == null then ['null' + comma]
  else [std.toString(value) + comma];

{
  // A rule file, with a comment on where it comes from.
  yaml(value)::
    '# SPDX-License-Identifier: BSD-2-Clause\n'
    + '# Rendered from the jsonnet in monitoring/ by make mixin: change that, not this file.\n'
    + std.join('\n', yamlLines(value, '')) + '\n',
  json(value):: std.join('\n', jsonLines(value, '', true)) + '\n',
}
