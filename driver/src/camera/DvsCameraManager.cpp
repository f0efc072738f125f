// DvsCameraManager: discovery by model, one camera object per serial, opening.
#include <vireo/DvsCameraManager.h>

#include <vireo/Logger.h>
#include <vireo/PropheseeEVK4.h>
#include <vireo/UsbInterface.h>
#include <vireo/VireoHeron.h>

#include "camera/FusionCameraPlaceholder.h"

namespace vireo {

namespace {

// The USB identity of the fusion model (its camera class comes with the fusion camera).
constexpr uint16_t kTandemVendorId = 8711;
constexpr uint16_t kTandemProductId = 6;

template <typename Camera, typename Base>
int addNew(std::map<std::string, std::shared_ptr<Base>>& cameras,
           const std::vector<CameraDescription>& descs) {
    for (const auto& desc : descs) {
        if (cameras.count(desc.serial) > 0) continue;  // the first object for a serial stays
        VIREO_LOG_DEBUG("Found camera %s (%04X:%04X)", desc.serial.c_str(),
                        static_cast<unsigned>(desc.vendorId), static_cast<unsigned>(desc.productId));
        cameras.emplace(desc.serial, std::make_shared<Camera>(desc));
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
            return addNew<FusionCamera>(fusionCameras,
                                        UsbInterface::findUsbFusionCamera(kTandemVendorId, kTandemProductId));
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
    for (const auto& entry : fusionCameras) descs.push_back(entry.second->getDesc());
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
    // The fusion camera cannot be initialised yet, known serial or not.
    return nullptr;
}

}  // namespace vireo
