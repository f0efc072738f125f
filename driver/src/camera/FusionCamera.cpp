// FusionCamera's own members: the description and the tool table.
#include <vireo/FusionCamera.h>

#include "camera/ToolTable.h"

namespace vireo {

FusionCamera::FusionCamera(CameraDescription description) : desc(std::move(description)) {}

FusionCamera::~FusionCamera() = default;

CameraDescription FusionCamera::getDvsDesc() const { return desc; }

std::shared_ptr<CameraTool> FusionCamera::getTool(ToolType type) const { return tooltable::find(tools, type); }

ToolInfo FusionCamera::getToolInfo(ToolType type) const { return tooltable::info(tools, type); }

std::vector<ToolInfo> FusionCamera::getAllToolsInfo() const { return tooltable::allInfo(tools); }

void FusionCamera::setStatisticInfoCallback(StatisticCallback) {}

DsStatisticInfo FusionCamera::getStatisticInfo() const { return {}; }

}  // namespace vireo
