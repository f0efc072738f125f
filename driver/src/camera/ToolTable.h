// Lookups in a camera's tool table, shared by the event camera and the fusion camera.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include <vireo/CameraTool.h>
#include <vireo/ToolInfo.h>

namespace vireo::tooltable {

using Table = std::map<ToolType, std::shared_ptr<CameraTool>>;

// The tool of `type`; an empty pointer, logged "Tool not found", when there is none.
std::shared_ptr<CameraTool> find(const Table& tools, ToolType type);
// Its description; throws std::runtime_error "Tool not found" (also logged) when absent.
ToolInfo info(const Table& tools, ToolType type);
// Every tool's description, in ascending type order.
std::vector<ToolInfo> allInfo(const Table& tools);

}  // namespace vireo::tooltable
