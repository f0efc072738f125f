// Links the installed kit: logs through its logger, asks the driver for a register, decodes
// a few encoded events, indexes them in a KD-tree and lays out a calibration target.
#include <vireo/basics.h>
#include <vireo/groundwork.h>
#include <vireo/hal.h>
#include <vireo/lensfit.h>
#include <vireo/pipit.h>

int main() {
    std::size_t count = 0;
    vireo::getImx636RegisterTable(count);

    std::vector<vireo::Event2D> events{{1, 2, 1, 100}, {5, 2, 0, 100}, {7, 9, 1, 250}};
    std::vector<uint8_t> raw;
    vireo::Evt3Encoder encoder;
    encoder.encodeEvents(events, raw);
    auto decoder = vireo::DecoderFactory::createUniqueDecoder("EVT3;height=720;width=1280");
    const uint32_t decoded = decoder->decodeBuffer(raw);

    std::vector<vireo::KDPoint<2, float>> points;
    for (const auto& e : events) {
        vireo::KDPoint<2, float> p;
        p.coords = {static_cast<float>(e.x), static_cast<float>(e.y)};
        points.push_back(p);
    }
    vireo::KDTree<2, float> tree;
    tree.build(points, 1);

    vireo::Calibrator calibrator(vireo::SYMMETRIC_GRID, 7, 5, 40.0f);
    const std::size_t world_points = calibrator.getWorldPoints().size();

    VIREO_LOG_INFO("consumer linked the installed kit (%zu register entries, %u events, %zu points, %zu target points)",
                   count, decoded, tree.getPointsCount(), world_points);
    return count == 2879 && decoded == 3 && tree.getPointsCount() == 3 && world_points == 35 ? 0 : 1;
}
