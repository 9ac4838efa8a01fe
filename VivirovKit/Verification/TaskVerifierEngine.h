#pragma once
#include <string>
#include <vector>

namespace vivirov {

class TaskVerifierEngine {
public:
    // One line standing for all older failure blocks: how many there were and
    // the exit code of each (taken from its first <exit_code> element).
    static std::string summarizeOldFailures(const std::vector<std::string>& blocks);
};

} // namespace vivirov
