// CalibData is a plain record; its special members are defined here so that the library
// holds the one copy of them.
#include <vireo/CalibData.h>

namespace vireo {

CalibData::CalibData() = default;
CalibData::CalibData(const CalibData& other) = default;
CalibData::CalibData(CalibData&& other) noexcept = default;
CalibData& CalibData::operator=(const CalibData& other) = default;
CalibData& CalibData::operator=(CalibData&& other) noexcept = default;
CalibData::~CalibData() = default;

}  // namespace vireo
