// DvsCamera's own members: the description and the tool table.
#include <vireo/DvsCamera.h>

#include "camera/ToolTable.h"

namespace vireo {

DvsCamera::DvsCamera(CameraDescription description) : desc(std::move(description)) {}

DvsCamera::~DvsCamera() = default;

CameraDescription DvsCamera::getDvsDesc() const { return desc; }

std::shared_ptr<CameraTool> DvsCamera::getTool(ToolType type) const { return tooltable::find(tools, type); }

ToolInfo DvsCamera::getToolInfo(ToolType type) const { return tooltable::info(tools, type); }

std::vector<ToolInfo> DvsCamera::getAllToolsInfo() const { return tooltable::allInfo(tools); }

void DvsCamera::setFileCacheTime(unsigned short) {}

DsStatisticInfo DvsCamera::getStatisticInfo() const { return {}; }

}  // namespace vireo
