#pragma once
// The names and values a parameter takes from the command line, as the help
// of `param` and `download --set` explain them (a literal, so that each
// command's help text is one constant).

#define FACSET_VALUE_RULES_HELP                                              \
  "  CAPTION   a generated parameter by its caption as `param FILE` lists it\n" \
  "            (letter case aside), or byte[N] for the one beginning at N:\n"   \
  "              numeric  digits only, up to 255, 65535 or 16777215 by width\n" \
  "              text     characters below 128 only, at most its width\n"      \
  "              choice   the option's text, or its index 0 or 1\n"            \
  "  screen, keyboard, print mode, network, label handling\n"                  \
  "            the fixed lists (also byte[1] .. byte[4], byte[6]): an entry's\n" \
  "            English or Chinese text, or its index from 0\n"                 \
  "  calibration gravity, use gravity\n"                                       \
  "            a region name of FILE's table, a gravity from 9.7 to 9.9\n"    \
  "            (manual input), or \"not set\"\n"
