#pragma once
#include <array>
#include <string_view>

namespace vivirov {

// The public code-hosting services whose repositories the clone tool takes,
// by bare host name.
inline constexpr std::array<std::string_view, 2> kGitHostNames{"github.com", "gitlab.com"};

} // namespace vivirov
