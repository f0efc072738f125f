#include "camera/ToolTable.h"

#include <stdexcept>

#include <vireo/Logger.h>

namespace vireo::tooltable {

std::shared_ptr<CameraTool> find(const Table& tools, ToolType type) {
    const auto found = tools.find(type);
    if (found == tools.end()) {
        VIREO_LOG_ERROR("Tool not found");
        return nullptr;
    }
    return found->second;
}

ToolInfo info(const Table& tools, ToolType type) {
    const auto found = tools.find(type);
    if (found == tools.end()) {
        VIREO_LOG_ERROR("Tool not found");
        throw std::runtime_error("Tool not found");
    }
    return found->second->getToolInfo();
}

std::vector<ToolInfo> allInfo(const Table& tools) {
    std::vector<ToolInfo> infos;
    infos.reserve(tools.size());
    for (const auto& [type, tool] : tools) infos.push_back(tool->getToolInfo());
    return infos;
}

}  // namespace vireo::tooltable
