// The sensor modules: the shared buffer wait, the IMX636 family's fixed sequences and
// set-ups, and the IMX415 frame sensor.
#include <vireo/Imx415Sensor.h>
#include <vireo/Imx6x6Sensor.h>

#include <chrono>
#include <thread>

#include <vireo/Logger.h>

namespace vireo {
namespace {

constexpr RegisterOperation write(uint32_t address, uint32_t value) {
    return {RegisterOperation::kWrite, address, value, 0, 0};
}
constexpr RegisterOperation masked(uint32_t address, uint32_t value, uint32_t mask) {
    return {RegisterOperation::kMaskedWrite, address, value, mask, 0};
}
constexpr RegisterOperation pause(uint32_t delay_us) {
    return {RegisterOperation::kPause, 0, 0, 0, delay_us};
}

void sleepMicroseconds(int us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

}  // namespace

Sensor::~Sensor() = default;

std::optional<std::shared_ptr<std::vector<uint8_t>>> Sensor::getNextBuffer() {
    if (!stream_ || stream_->waitNextBuffer() < 1) return std::nullopt;
    return stream_->getLatestBuffer();
}

std::optional<std::shared_ptr<std::vector<uint8_t>>> Sensor::getNextBuffer(uint64_t& droppedBefore) {
    droppedBefore = droppedBuffers();
    if (!stream_ || stream_->waitNextBuffer() < 1) return std::nullopt;
    droppedBefore = stream_->droppedBuffers();
    return stream_->getLatestBuffer();
}

// The reset sequence turns the readout, output and time base off; the start sequence turns
// them on again (bit 10 of 0x4, bit 1 of 0x9028, bit 0 of 0x9008).
const std::vector<RegisterOperation>& Imx6x6Sensor::resetSequence() {
    static const std::vector<RegisterOperation> sequence{
        masked(0x4, 0xF0005042, 0x400), write(0x2C, 0x0022C324), write(0x9028, 0x2), pause(1000),
        masked(0x9008, 0x644, 0x1),     write(0xB000, 0x2F8),    pause(300),
    };
    return sequence;
}

const std::vector<RegisterOperation>& Imx6x6Sensor::startSequence() {
    static const std::vector<RegisterOperation> sequence{
        write(0xB000, 0x2F9), write(0x9028, 0x0), masked(0x9008, 0x645, 0x1),
        write(0x2C, 0x0022C724), masked(0x4, 0xF0005442, 0x400),
    };
    return sequence;
}

const std::vector<RegisterOperation>& Imx6x6Sensor::powerUpSequence() {
    static const std::vector<RegisterOperation> sequence{
        write(0x70, 0x400008), write(0x6C, 0x0EE47114), pause(500), write(0xA00C, 0x20400),
        pause(500), write(0xA010, 0x8068), pause(200), write(0x1104, 0x0), pause(200),
        write(0xA020, 0x50), pause(200), write(0xA004, 0xB0500), pause(200), write(0xA008, 0x2404),
        pause(200), write(0xA000, 0xB0500), write(0xB044, 0x0), write(0xB004, 0xA),
        write(0xB040, 0xE), write(0xB0C8, 0x0), write(0xB040, 0x6), write(0xB040, 0x4),
        write(0x0, 0x4F006442), write(0x0, 0x0F006442), write(0xB8, 0x401), write(0xB8, 0x400),
        write(0xB07C, 0x0)
    };
    return sequence;
}

const std::vector<RegisterOperation>& Imx6x6Sensor::configurationSequence() {
    static const std::vector<RegisterOperation> sequence{
        write(0x1C, 0x1), pause(1000000), write(0x400004, 0x1), pause(500000),
        write(0x400004, 0x0), pause(1000000), write(0xB000, 0x158), pause(300), write(0xB044, 0x0),
        write(0xB004, 0xA), write(0xB040, 0x0), write(0xB0C8, 0x0), write(0xB040, 0x0),
        write(0xB040, 0x0), write(0x0, 0x4F006442), write(0x0, 0x0F006442), write(0xB8, 0x400),
        write(0xB8, 0x400), write(0xB07C, 0x0), write(0xB074, 0x2), write(0xB078, 0xA0),
        write(0xC0, 0x110), write(0xC0, 0x210), write(0xB120, 0x1), write(0xE120, 0x0),
        write(0xB068, 0x4), write(0xB07C, 0x1), pause(10), write(0xB07C, 0x3), pause(1000),
        write(0xB8, 0x401), write(0xB8, 0x409), write(0x0, 0x4F006442), write(0x0, 0x4F00644A),
        write(0xB080, 0x77), write(0xB084, 0xF), write(0xB088, 0x37), write(0xB08C, 0x37),
        write(0xB090, 0xDF), write(0xB094, 0x57), write(0xB098, 0x37), write(0xB09C, 0x67),
        write(0xB0A0, 0x37), write(0xB0A4, 0x2F), write(0xB0AC, 0x28), write(0xB0CC, 0x1),
        write(0xB000, 0x2F8), write(0xB004, 0x8A), write(0xB01C, 0x30), write(0xB020, 0x2000),
        write(0xB02C, 0xFF), write(0xB030, 0x3E80), write(0xB028, 0xFA0), write(0xA000, 0xB0501),
        pause(200), write(0xA008, 0x2405), pause(200), write(0xA004, 0xB0501), pause(200),
        write(0xA020, 0x150), pause(200), write(0xB040, 0x7), write(0xB064, 0x6),
        write(0xB040, 0xF), pause(100), write(0xB004, 0x8A), pause(200), write(0xB0C8, 0x3),
        pause(200), write(0xB044, 0x1), write(0xB000, 0x2F9), write(0x7008, 0x1),
        write(0x7000, 0x70001), write(0x8000, 0x1E085), write(0x9008, 0x644),
        write(0x4, 0xF0005042), write(0x18, 0x200), write(0x1014, 0x11A1504D), write(0x9004, 0x0),
        pause(1000), write(0x9000, 0x200)
    };
    return sequence;
}

bool Imx6x6Sensor::writeField(const char* register_name, const char* field_name, uint32_t value) {
    if (!writeRegisterField_) {
        VIREO_LOG_ERROR("Imx6x6Sensor init failed! No write register callback provided!");
        return false;
    }
    writeRegisterField_(register_name, field_name, value);
    return true;
}

int Imx6x6Sensor::init(std::shared_ptr<Interface> interface) {
    stream_ = std::make_unique<EventStream>(
        createDataTransferUniquePtr(std::move(interface), kBufferCount, kBufferSize, kEndpoint));
    if (!applySequence_) {
        VIREO_LOG_ERROR("Imx6x6Sensor init failed! No sequence callback provided!");
        return -1;
    }
    applySequence_(resetSequence());
    applySequence_(powerUpSequence());
    applySequence_(configurationSequence());
    setupTemperature();
    controlIphMirror(true);
    sleepMicroseconds(1000);
    controlLifo(true, true, true);
    timeBaseConfig(false, true);
    initialized_ = true;
    VIREO_LOG_INFO("Imx6x6Sensor init success!");
    return 0;
}

int Imx6x6Sensor::start() {
    if (!initialized_) {
        VIREO_LOG_ERROR("Please initialize the Imx6x6Sensor first!");
        return -1;
    }
    if (!applySequence_) {
        VIREO_LOG_ERROR("Imx6x6Sensor init failed! No sequence callback provided!");
        return -1;
    }
    stream_->start();
    applySequence_(startSequence());
    return 0;
}

int Imx6x6Sensor::stop() {
    if (stream_) stream_->stop();
    // Without a sequence callback there is no way to reach the chip: report it rather than
    // let std::function throw out of a camera's stop or destructor.
    if (!applySequence_) {
        VIREO_LOG_ERROR("Imx6x6Sensor init failed! No sequence callback provided!");
        return -1;
    }
    applySequence_(resetSequence());
    return 0;
}

void Imx6x6Sensor::setupTemperature() {
    if (!writeField("adc_control", "adc_en", 1)) return;
    writeField("adc_control", "adc_clk_en", 1);
    writeField("adc_misc_ctrl", "adc_buf_cal_en", 1);
    sleepMicroseconds(100);
    writeField("temp_ctrl", "temp_buf_en", 1);
    writeField("temp_ctrl", "temp_buf_cal_en", 1);
    writeField("adc_control", "adc_clk_en", 0);
}

void Imx6x6Sensor::controlIphMirror(bool enable) {
    if (!writeField("iph_mirr_ctrl", "iph_mirr_en", enable)) return;
    sleepMicroseconds(20);
    writeField("iph_mirr_ctrl", "iph_mirr_amp_en", enable);
    sleepMicroseconds(20);
}

void Imx6x6Sensor::controlLifo(bool lifo_en, bool lifo_out_en, bool lifo_cnt_en) {
    if (!writeRegisterField_) {
        writeField("lifo_ctrl", "lifo_en", 0);  // logs the missing callback
        return;
    }
    if (lifo_en) {
        writeField("lifo_ctrl", "lifo_en", 1);
        if (lifo_out_en) writeField("lifo_ctrl", "lifo_out_en", 1);
    } else if (lifo_out_en) {
        writeField("lifo_ctrl", "lifo_out_en", 1);
    } else {
        writeField("lifo_ctrl", "lifo_en", 0);
        writeField("lifo_ctrl", "lifo_out_en", 0);
    }
    writeField("lifo_ctrl", "lifo_cnt_en", lifo_cnt_en);
}

void Imx6x6Sensor::timeBaseConfig(bool external, bool master) {
    if (!writeField("ro/time_base_ctrl", "time_base_mode", external)) return;
    writeField("ro/time_base_ctrl", "external_mode", master);
    writeField("ro/time_base_ctrl", "external_mode_enable", external);
    writeField("ro/time_base_ctrl", "Reserved_10_4", 100);
    if (external) writeField("dig_pad2_ctrl", "pad_sync", master ? 0xC : 0xF);
}

int Imx415Sensor::init(std::shared_ptr<Interface> interface) {
    stream_ = std::make_unique<EventStream>(
        createDataTransferUniquePtr(std::move(interface), kBufferCount, frameBytes(), kEndpoint));
    initialized_ = true;
    VIREO_LOG_INFO("Imx415Sensor init success!");
    return 0;
}

int Imx415Sensor::start() {
    if (!initialized_) {
        VIREO_LOG_ERROR("Please initialize the Imx415Sensor first!");
        return -1;
    }
    writeRegister_("aps_ctrl", 1);
    stream_->start();
    return 0;
}

int Imx415Sensor::stop() {
    if (initialized_) writeRegister_("aps_ctrl", 0);
    return 0;
}

}  // namespace vireo
