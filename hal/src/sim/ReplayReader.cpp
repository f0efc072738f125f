// ReplayReader: the body of a RAW recording, chunk by chunk, with its recording time.
#include "sim/ReplayReader.h"

#include <stdexcept>

#include <vireo/DecoderFactory.h>

namespace vireo::sim {

ReplayReader::ReplayReader(const std::string& path) : file_(path, std::ios::binary) {
    if (!file_) throw std::invalid_argument("Replay: cannot open RAW file '" + path + "'");
    // The header is the run of lines that begin with '%'; "% end" closes it when present.
    std::string line;
    while (file_.peek() == '%') {
        std::getline(file_, line);
        if (line == "% end" || line == "% end\r") break;
    }
    if (!file_) throw std::invalid_argument("Replay: RAW file '" + path + "' has no event data");
    bodyOffset_ = file_.tellg();
    file_.seekg(0, std::ios::end);
    const std::streamoff end = file_.tellg();
    bodyBytes_ = static_cast<uint64_t>(end - bodyOffset_) & ~uint64_t{1};
    if (bodyBytes_ == 0) throw std::invalid_argument("Replay: RAW file '" + path + "' has no event data");
    // The replay clock starts at the recording time of the body's first words.
    std::vector<uint8_t> prefix(static_cast<size_t>(std::min<uint64_t>(bodyBytes_, 256)));
    file_.seekg(bodyOffset_);
    file_.read(reinterpret_cast<char*>(prefix.data()), static_cast<std::streamsize>(prefix.size()));
    restartDecoder();
    decoder_->decodeBuffer(prefix);
    firstTime_us_ = decoder_->getLastTimestamp();
    file_.clear();
    file_.seekg(bodyOffset_);
    restartDecoder();
}

void ReplayReader::restartDecoder() {
    decoder_ = DecoderFactory::createUniqueDecoder("EVT3;height=720;width=1280");
}

uint64_t ReplayReader::next(std::vector<uint8_t>& out, size_t maxBytes) {
    if (position_ >= bodyBytes_) {
        // Loop: the next pass starts one microsecond after the previous one ended.
        file_.clear();
        file_.seekg(bodyOffset_);
        position_ = 0;
        loopOffset_us_ = lastTime_us_ + 1;
        restartDecoder();
    }
    const uint64_t n = std::min<uint64_t>(maxBytes & ~size_t{1}, bodyBytes_ - position_);
    out.resize(n);
    file_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
    if (static_cast<uint64_t>(file_.gcount()) != n) {
        throw std::runtime_error("Replay: the RAW file became shorter while replaying");
    }
    position_ += n;

    decoder_->decodeBuffer(out);
    const uint64_t t = decoder_->getLastTimestamp();
    if (t >= firstTime_us_) {
        lastTime_us_ = std::max(lastTime_us_, loopOffset_us_ + (t - firstTime_us_));
    }
    return lastTime_us_;
}

}  // namespace vireo::sim
