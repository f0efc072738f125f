// The IMX636/IMX646 event sensor: its stream on endpoint 0x52 and its fixed sequences.
//   init : reset, power-up and configuration sequences, temperature set-up, pixel
//          photocurrent mirror on, LIFO on, internal time base;
//   start: the start sequence (readout on); stop: the reset sequence (readout off).
// Pauses inside sequences are in microseconds; the configuration alone waits about 2.5 s on
// a real sensor (a simulated one lets the controller skip them).
#pragma once

#include <vector>

#include <vireo/Sensor.h>

namespace vireo {

class PIPIT_EXPORT Imx6x6Sensor : public Sensor {
public:
    static constexpr uint32_t kBufferCount = 2;
    static constexpr uint32_t kBufferSize = 0x20000;  // bytes per transfer
    static constexpr uint8_t kEndpoint = 0x52;

    int init(std::shared_ptr<Interface> interface) override;
    int start() override;
    int stop() override;

    // The fixed sequences (7, 5, 27 and 81 operations).
    static const std::vector<RegisterOperation>& resetSequence();
    static const std::vector<RegisterOperation>& startSequence();
    static const std::vector<RegisterOperation>& powerUpSequence();
    static const std::vector<RegisterOperation>& configurationSequence();

    // Field-level set-ups through the write-field callback (logged and skipped without it).
    void setupTemperature();
    void controlIphMirror(bool enable);
    void controlLifo(bool lifo_en, bool lifo_out_en, bool lifo_cnt_en);
    void timeBaseConfig(bool external, bool master);

private:
    // Writes one field; false (logged) without a write-field callback.
    bool writeField(const char* register_name, const char* field_name, uint32_t value);
};

}  // namespace vireo
