// Simulated cameras start from the IMX636 reset values. The hardware-access layer cannot see
// the driver's register table, so the driver hands it the defaults when the library loads:
// every register's value with each field at its default.
#include <vireo/RegisterMap.h>
#include <vireo/RegisterTables.h>
#include <vireo/SimulatedCamera.h>

namespace vireo {
namespace {

struct InstallSimulatedSensorDefaults {
    InstallSimulatedSensorDefaults() {
        std::size_t count = 0;
        const RegisterInfo* table = getImx636RegisterTable(count);
        const RegisterMap map(table, count);
        std::vector<std::pair<uint32_t, uint32_t>> values;
        values.reserve(map.size());
        for (const auto& [name, reg] : map) values.emplace_back(reg.get_address(), reg.get_default_value());
        sim::setRegisterResetValues(std::move(values));
    }
};

const InstallSimulatedSensorDefaults installOnLoad;

}  // namespace
}  // namespace vireo
