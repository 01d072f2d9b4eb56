// The tolvane commands. Each takes the arguments after its name, writes its
// results and messages, and returns the exit status; a command line that
// cannot be run throws UsageError.
#ifndef TOLVANE_COMMANDS_H
#define TOLVANE_COMMANDS_H

#include <string>
#include <vector>

namespace tolvane {

int runColmap(const std::vector<std::string>& args);
int runDetect(const std::vector<std::string>& args);
int runDraw(const std::vector<std::string>& args);
int runMatch(const std::vector<std::string>& args);
int runRepeatability(const std::vector<std::string>& args);

}  // namespace tolvane

#endif
