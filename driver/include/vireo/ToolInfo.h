// ToolInfo: what a camera tool says about itself — its kind, the names of the parameters it
// accepts and a one-line description. Built fresh by every getToolInfo call.
#pragma once

#include <string>
#include <vector>

#include <vireo/SharedTypes.h>

namespace vireo {

struct ToolInfo {
    ToolType type = TOOL_BIASES;           // the kind of tool
    std::vector<std::string> parameters;   // parameter names, in the tool's own order
    std::string description;               // one line of text, fixed per tool class

    friend bool operator==(const ToolInfo&, const ToolInfo&) = default;
};

}  // namespace vireo
