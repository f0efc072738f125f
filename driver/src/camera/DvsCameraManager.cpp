// DvsCameraManager: discovery by model, one camera object per serial, opening.
#include <vireo/DvsCameraManager.h>

#include <type_traits>

#include <vireo/Logger.h>
#include <vireo/PropheseeEVK4.h>
#include <vireo/TandemCamera.h>
#include <vireo/UsbInterface.h>
#include <vireo/VireoHeron.h>


namespace vireo {

namespace {

template <typename Camera, typename Base>
int addNew(std::map<std::string, std::shared_ptr<Base>>& cameras,
           const std::vector<CameraDescription>& descs) {
    for (const auto& desc : descs) {
        if (cameras.count(desc.serial) > 0) continue;  // the first object for a serial stays
        VIREO_LOG_DEBUG("Found camera %s (%04X:%04X)", desc.serial.c_str(),
                        static_cast<unsigned>(desc.vendorId), static_cast<unsigned>(desc.productId));
        if constexpr (std::is_same_v<Camera, TandemFusionCamera>) {
            cameras.emplace(desc.serial, TandemFusionCamera::create(desc));
        } else {
            cameras.emplace(desc.serial, std::make_shared<Camera>(desc));
        }
    }
    return static_cast<int>(descs.size());
}

}  // namespace

DvsCameraManager::DvsCameraManager() = default;
DvsCameraManager::~DvsCameraManager() = default;
DvsCameraManager::DvsCameraManager(const DvsCameraManager&) = default;
DvsCameraManager::DvsCameraManager(DvsCameraManager&&) noexcept = default;
DvsCameraManager& DvsCameraManager::operator=(const DvsCameraManager&) = default;
DvsCameraManager& DvsCameraManager::operator=(DvsCameraManager&&) noexcept = default;

int DvsCameraManager::findCameras(CAMERA_TYPE type) {
    switch (type) {
        case PropheseeEVK4:
            return addNew<PropheseeEVK4Camera>(
                dvsCameras, UsbInterface::findUsbDvsCamera(PropheseeEVK4Camera::vendorId,
                                                           PropheseeEVK4Camera::productId));
        case VireoHeron:
            return addNew<VireoHeronCamera>(
                dvsCameras,
                UsbInterface::findUsbDvsCamera(VireoHeronCamera::vendorId, VireoHeronCamera::productId));
        case TandemCamera:
            return addNew<TandemFusionCamera>(
                fusionCameras,
                UsbInterface::findUsbFusionCamera(TandemFusionCamera::vendorId, TandemFusionCamera::productId));
    }
    return 0;
}

int DvsCameraManager::findCameras() {
    return findCameras(PropheseeEVK4) + findCameras(VireoHeron) + findCameras(TandemCamera);
}

void DvsCameraManager::removeUnpluggedCameras() {
    std::erase_if(dvsCameras, [](const auto& entry) { return !entry.second->isConnected(); });
    std::erase_if(fusionCameras, [](const auto& entry) { return !entry.second->isConnected(); });
}

int DvsCameraManager::updateCameras() {
    removeUnpluggedCameras();
    return findCameras();
}

std::vector<CameraDescription> DvsCameraManager::getCameraDescs() {
    updateCameras();
    std::vector<CameraDescription> descs;
    descs.reserve(dvsCameras.size() + fusionCameras.size());
    for (const auto& entry : dvsCameras) descs.push_back(entry.second->getDvsDesc());
    for (const auto& entry : fusionCameras) descs.push_back(entry.second->getDvsDesc());
    return descs;
}

std::shared_ptr<DvsCamera> DvsCameraManager::openCamera(std::string serial) {
    VIREO_LOG_DEBUG("Camera serial: %s", serial.c_str());
    const auto found = dvsCameras.find(serial);
    if (found == dvsCameras.end()) return nullptr;
    if (found->second->init() != 0) return nullptr;
    return found->second;
}

std::shared_ptr<FusionCamera> DvsCameraManager::openFusionCamera(std::string serial) {
    VIREO_LOG_DEBUG("Fusion Camera serial: %s", serial.c_str());
    const auto found = fusionCameras.find(serial);
    if (found == fusionCameras.end()) return nullptr;
    // A camera that could not be opened has no transport or sensors to start: it is not
    // handed out (a later call tries again).
    if (found->second->init() != 0) return nullptr;
    return found->second;
}

}  // namespace vireo
