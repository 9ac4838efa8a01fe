#pragma once
// Entry points of the grammars compiled into the kit (see build.cmake).
#include <tree_sitter/api.h>

extern "C" {
const TSLanguage* tree_sitter_c(void);
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_python(void);
}
