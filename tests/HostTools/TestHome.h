#pragma once
#include <string>

namespace vivirov::test {

// The home folder of every HostTools test: a fresh temporary folder set as
// HOME before any test runs, so login shells read no user profile and "~"
// paths land in it.
const std::string& testHome();

} // namespace vivirov::test
