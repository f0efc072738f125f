// DvsEventCamera and its two models: geometry, connection test and initialisation, which
// wires the transport, the register controller, the decoder, the sensor and the tools.
#include <vireo/DvsEventCamera.h>

#include <vireo/DecoderFactory.h>
#include <vireo/Imx636Tools.h>
#include <vireo/Imx6x6Sensor.h>
#include <vireo/Logger.h>
#include <vireo/PropheseeEVK4.h>
#include <vireo/RegisterTables.h>
#include <vireo/UsbInterface.h>
#include <vireo/VireoHeron.h>

namespace vireo {

namespace {

constexpr uint32_t kChipIdAddress = 0x0014;
constexpr uint32_t kChipId = 0xA0401806;
constexpr uint32_t kStatusAddress = 0xF128;

}  // namespace

DvsEventCamera::DvsEventCamera(CameraDescription description) : DvsCameraPrivate(std::move(description)) {}

bool DvsEventCamera::isConnected() const { return interface && interface->isConnected(); }

unsigned short DvsEventCamera::getWidth() { return kWidth; }
unsigned short DvsEventCamera::getHeight() { return kHeight; }

RawEventStreamFormat DvsEventCamera::getRawEventStreamFormat() { return RawEventStreamFormat(kStreamFormat); }

bool DvsEventCamera::checkSensor() {
    if (!interface) return false;
    if (interface->readRegisters(kChipIdAddress, 1).at(0) != kChipId) return false;
    return (interface->readRegisters(kStatusAddress, 1).at(0) & 0x3u) == 0;
}

int DvsEventCamera::init() {
    if (inited) return 0;
    // The event camera has no transport but USB: any other description is refused rather
    // than initialised over a transport that does not exist.
    if (desc.interfaceType != INTERFACE_USB) {
        VIREO_LOG_ERROR("Camera %s: interface type %d is not supported (USB only)", desc.serial.c_str(),
                        static_cast<int>(desc.interfaceType));
        return -1;
    }
    interface = UsbInterface::createUsbInterface(desc);
    if (!interface) return -1;
    interface->setCameraSlot(&interfaceSlot);

    std::size_t count = 0;
    const RegisterInfo* table = getImx636RegisterTable(count);
    registerController = std::make_shared<RegisterController>(interface, table, count, kRegisterPrefix);

    decoder = DecoderFactory::createUniqueDecoder(getRawEventStreamFormat());
    connectDecoder();

    auto imx = std::make_unique<Imx6x6Sensor>();
    auto controller = registerController;
    imx->setApplyRegisterOperationSequenceCallback(
        [controller](const std::vector<RegisterOperation>& operations) {
            controller->ApplyRegisterOperationSequence(operations);
        });
    imx->setWriteRegisterFieldCallback(
        [controller](const std::string& register_name, const std::string& field_name, uint32_t value) {
            controller->writeRegisterField(register_name, field_name, value);
        });
    sensor = std::move(imx);
    sensor->init(interface);

    // Creation order; the tool table is ordered by type whatever the order here.
    const std::shared_ptr<CameraTool> created[] = {
        std::make_shared<Imx636Biases>(registerController),
        std::make_shared<Imx636TriggerIn>(registerController),
        std::make_shared<Imx636AntiFlicker>(registerController),
        std::make_shared<Imx636EventRateControl>(registerController),
        std::make_shared<Imx636EventTrailFilter>(registerController),
        std::make_shared<Imx636ROI>(registerController),
        std::make_shared<Imx636Sync>(registerController),
    };
    for (const auto& tool : created) tools.emplace(tool->getToolInfo().type, tool);

    inited = true;
    return 0;
}

PropheseeEVK4::PropheseeEVK4(CameraDescription description) : DvsEventCamera(std::move(description)) {}
PropheseeEVK4::~PropheseeEVK4() = default;
std::string PropheseeEVK4::getManufacturer() { return "Prophesee"; }
std::string PropheseeEVK4::getProductName() { return "EVK4"; }

VireoHeron::VireoHeron(CameraDescription description) : DvsEventCamera(std::move(description)) {}
VireoHeron::~VireoHeron() = default;
std::string VireoHeron::getManufacturer() { return "Vireo"; }
std::string VireoHeron::getProductName() { return "Heron"; }

}  // namespace vireo
