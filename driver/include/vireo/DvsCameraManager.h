// DvsCameraManager: finds connected cameras of the supported models, keeps one camera object
// per serial number, and opens cameras for the application.
//
// Discovery runs the models in the order PropheseeEVK4 (0), VireoHeron (1), TandemCamera (2).
// Each pass first drops the cameras whose transport is gone — which includes every camera
// that was never opened (it has no transport yet), so such cameras come back as new objects —
// and keeps opened, connected cameras as they are. The manager holds one reference per
// camera: an application that holds a dropped camera keeps it alive.
//
// Fusion cameras (model 2) are opened with openFusionCamera; openCamera opens event cameras
// only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <vireo/CameraDescription.h>
#include <vireo/DvsCamera.h>
#include <vireo/FusionCamera.h>
#include <vireo/SharedTypes.h>
#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT DvsCameraManager {
public:
    // Two empty tables; nothing is discovered until updateCameras or getCameraDescs.
    DvsCameraManager();
    ~DvsCameraManager();
    DvsCameraManager(const DvsCameraManager&);
    DvsCameraManager(DvsCameraManager&&) noexcept;
    DvsCameraManager& operator=(const DvsCameraManager&);
    DvsCameraManager& operator=(DvsCameraManager&&) noexcept;

    // Drops unplugged cameras, then discovers the three models; returns the number of
    // devices the three discoveries reported (known ones included).
    int updateCameras();

    // As updateCameras, then the descriptions of every event camera (ascending serial)
    // followed by every fusion camera (ascending serial).
    std::vector<CameraDescription> getCameraDescs();

    // Initialises the event camera `serial` and returns it; an empty pointer when the serial
    // was not discovered or its initialisation failed (it stays known, a later call retries).
    // Opening an opened camera returns the same object. Never discovers.
    std::shared_ptr<DvsCamera> openCamera(std::string serial);

    // The same for the fusion camera `serial`: initialised and returned, or an empty pointer
    // when it was not discovered or could not be initialised (a later call retries).
    std::shared_ptr<FusionCamera> openFusionCamera(std::string serial);

private:
    int findCameras(CAMERA_TYPE type);
    int findCameras();
    void removeUnpluggedCameras();

    std::map<std::string, std::shared_ptr<DvsCamera>> dvsCameras;
    std::map<std::string, std::shared_ptr<FusionCamera>> fusionCameras;
};

}  // namespace vireo
