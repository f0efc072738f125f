// vireo pattern: writes a printable circle-grid target at true size, as an SVG in millimetres
// or a PNG at a chosen resolution, in the numbering the calibration expects (centre 0 at the
// top left, row by row; see docs/calibration.md).
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "CalibrationRun.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Pattern.h"

namespace vireo::app {

PatternLayout patternLayout(const TargetGrid& target) {
    PatternLayout layout;
    const double s = target.spacing;
    layout.diameter_mm = (target.asymmetric ? 0.35 : 0.5) * s;
    double right = 0, bottom = 0;
    for (int r = 0; r < target.rows; ++r) {
        for (int c = 0; c < target.cols; ++c) {
            const double x = target.asymmetric ? (c + (r % 2) * 0.5) * s : c * s;
            const double y = target.asymmetric ? r * 0.5 * s : r * s;
            layout.centres_mm.emplace_back(s + x, s + y);
            right = std::max(right, x);
            bottom = std::max(bottom, y);
        }
    }
    layout.width_mm = right + 2 * s;
    layout.height_mm = bottom + 2 * s;
    return layout;
}

namespace {

std::string caption(const TargetGrid& target) {
    std::ostringstream text;
    text << (target.asymmetric ? "asymmetric" : "symmetric") << " circle grid " << target.cols << "x" << target.rows
         << ", spacing " << target.spacing << " mm along a row; centre 0 top left, numbered row by row";
    return text.str();
}

}  // namespace

std::string patternSvg(const TargetGrid& target) {
    const PatternLayout layout = patternLayout(target);
    std::ostringstream svg;
    svg.precision(10);
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << layout.width_mm << "mm\" height=\""
        << layout.height_mm << "mm\" viewBox=\"0 0 " << layout.width_mm << " " << layout.height_mm << "\">\n"
        << "  <rect x=\"0\" y=\"0\" width=\"" << layout.width_mm << "\" height=\"" << layout.height_mm
        << "\" fill=\"white\"/>\n";
    for (const auto& centre : layout.centres_mm) {
        svg << "  <circle cx=\"" << centre.x << "\" cy=\"" << centre.y << "\" r=\"" << layout.diameter_mm / 2
            << "\" fill=\"black\"/>\n";
    }
    const double size = std::min(3.0, target.spacing * 0.12);
    svg << "  <text x=\"" << size << "\" y=\"" << layout.height_mm - size << "\" font-family=\"sans-serif\" font-size=\""
        << size << "\" fill=\"#909090\">" << caption(target) << "</text>\n"
        << "</svg>\n";
    return svg.str();
}

cv::Mat patternImage(const TargetGrid& target, double dpi) {
    const PatternLayout layout = patternLayout(target);
    const double px = dpi / 25.4;
    const cv::Size size(static_cast<int>(std::lround(layout.width_mm * px)),
                        static_cast<int>(std::lround(layout.height_mm * px)));
    if (size.width < 8 || size.height < 8 || static_cast<double>(size.width) * size.height > 4e8) {
        throw UsageError("the target would be " + std::to_string(size.width) + " x " + std::to_string(size.height) +
                         " pixels at this --dpi: choose another --dpi or --spacing");
    }
    cv::Mat image(size, CV_8UC1, cv::Scalar(255));
    // Sub-pixel centres: OpenCV draws with fractional coordinates given `shift` bits.
    constexpr int kShift = 4;
    constexpr double kScale = 1 << kShift;
    for (const auto& centre : layout.centres_mm) {
        // Pixel centres sit at whole numbers: the sheet's corner is at (-0.5, -0.5).
        const cv::Point at(static_cast<int>(std::lround((centre.x * px - 0.5) * kScale)),
                           static_cast<int>(std::lround((centre.y * px - 0.5) * kScale)));
        cv::circle(image, at, static_cast<int>(std::lround(layout.diameter_mm / 2 * px * kScale)), cv::Scalar(0),
                   cv::FILLED, cv::LINE_AA, kShift);
    }
    return image;
}

int runPattern(const Arguments& args) {
    constexpr const char* kUsage =
        "vireo pattern --target symmetric|asymmetric --size CxR --spacing MM -o TARGET.svg|TARGET.png [--dpi N]";
    const CommandLine line(expandOutputShortForm(args), {"target", "size", "spacing", "o", "dpi"});
    line.expectPositionals(0, 0, kUsage);
    const TargetGrid target = parseTargetOptions(line, kUsage);
    if (!(target.spacing > 0) || target.spacing > 1e5) throw UsageError("--spacing must be between 0 and 100000 mm");
    const std::string output = line.requiredOption("o", kUsage);
    std::string extension = std::filesystem::path(output).extension().string();
    for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension != ".svg" && extension != ".png") throw UsageError("the output must end in .svg or .png");
    const double dpi = line.numberOption("dpi").value_or(300.0);
    if (!(dpi >= 10 && dpi <= 4800)) throw UsageError("--dpi must lie between 10 and 4800");
    if (extension == ".svg" && line.option("dpi")) throw UsageError("--dpi applies to a PNG only");
    {
        std::error_code error;
        const auto folder = std::filesystem::absolute(output).parent_path();
        if (!std::filesystem::is_directory(folder, error)) {
            throw std::runtime_error("the folder of \"" + output + "\" does not exist");
        }
    }
    const PatternLayout layout = patternLayout(target);
    if (extension == ".svg") {
        std::ofstream out(output, std::ios::trunc);
        out << patternSvg(target);
        out.close();
        if (!out) throw std::runtime_error("\"" + output + "\" could not be written");
        std::printf("wrote %s: %.1f x %.1f mm, %d x %d circles %.2f mm across; print at 100 %% (no scaling)\n",
                    output.c_str(), layout.width_mm, layout.height_mm, target.cols, target.rows, layout.diameter_mm);
    } else {
        const cv::Mat image = patternImage(target, dpi);
        bool written = false;
        try {
            written = cv::imwrite(output, image);
        } catch (const cv::Exception&) {
            written = false;
        }
        if (!written) throw std::runtime_error("\"" + output + "\" could not be written");
        std::printf("wrote %s: %d x %d pixels at %.0f dpi = %.1f x %.1f mm, %d x %d circles %.2f mm across; "
                    "print at %.0f dpi without scaling\n",
                    output.c_str(), image.cols, image.rows, dpi, layout.width_mm, layout.height_mm, target.cols,
                    target.rows, layout.diameter_mm, dpi);
    }
    return 0;
}

}  // namespace vireo::app
