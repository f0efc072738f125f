// DvsCamera's own members: the description and the tool table.
#include <vireo/DvsCamera.h>

#include <stdexcept>

#include <vireo/Logger.h>

namespace vireo {

DvsCamera::DvsCamera(CameraDescription description) : desc(std::move(description)) {}

DvsCamera::~DvsCamera() = default;

CameraDescription DvsCamera::getDvsDesc() const { return desc; }

std::shared_ptr<CameraTool> DvsCamera::getTool(ToolType type) const {
    const auto found = tools.find(type);
    if (found == tools.end()) {
        VIREO_LOG_ERROR("Tool not found");
        return nullptr;
    }
    return found->second;
}

ToolInfo DvsCamera::getToolInfo(ToolType type) const {
    const auto found = tools.find(type);
    if (found == tools.end()) {
        VIREO_LOG_ERROR("Tool not found");
        throw std::runtime_error("Tool not found");
    }
    return found->second->getToolInfo();
}

std::vector<ToolInfo> DvsCamera::getAllToolsInfo() const {
    std::vector<ToolInfo> infos;
    infos.reserve(tools.size());
    for (const auto& [type, tool] : tools) infos.push_back(tool->getToolInfo());
    return infos;
}

void DvsCamera::setFileCacheTime(unsigned short) {}

}  // namespace vireo
