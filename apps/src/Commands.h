// The subcommands of the vireo tool. Each takes the arguments after its name and returns
// the process exit status; bad usage throws UsageError.
#pragma once

#include <string>
#include <vector>

namespace vireo::app {

using Arguments = std::vector<std::string>;

int runCut(const Arguments& args);
int runDemo(const Arguments& args);
int runInfo(const Arguments& args);
int runList(const Arguments& args);
int runTools(const Arguments& args);
int runVideo(const Arguments& args);

// The demo's camera-tool step: a region of interest and its effect on the event rate.
void demoToolStep();

}  // namespace vireo::app
