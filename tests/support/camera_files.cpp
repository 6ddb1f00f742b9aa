#include "support/camera_files.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace {

void putInt32(std::vector<std::uint8_t>& out, std::size_t at, std::int32_t v) {
    for (int k = 0; k < 4; ++k) out[at + std::size_t(k)] = std::uint8_t(std::uint32_t(v) >> (8 * k));
}

void putCard(std::string& header, const std::string& text) {
    std::string card = text.substr(0, 80);
    card.append(80 - card.size(), ' ');
    header += card;
}

std::string valueCard(const char* keyword, long long value) {
    char text[81];
    std::snprintf(text, sizeof text, "%-8s= %20lld", keyword, value);
    return text;
}

void putBigEndian(std::vector<std::uint8_t>& out, std::uint64_t bits, int bytes) {
    for (int k = bytes - 1; k >= 0; --k) out.push_back(std::uint8_t(bits >> (8 * k)));
}

}   // namespace

std::vector<std::uint8_t> serBytes(const SerVideo& v) {
    std::vector<std::uint8_t> out(178, 0);
    std::memcpy(out.data(), "LUCAM-RECORDER", 14);
    putInt32(out, 18, v.colourId);
    putInt32(out, 22, v.endianFlag);
    putInt32(out, 26, v.width);
    putInt32(out, 30, v.height);
    putInt32(out, 34, v.depth);
    putInt32(out, 38, v.announced >= 0 ? v.announced : std::int32_t(v.frames.size()));
    std::memcpy(out.data() + 42, "observer", 8);
    for (const std::vector<std::uint16_t>& frame : v.frames)
        for (const std::uint16_t s : frame) {
            if (v.depth <= 8)
                out.push_back(std::uint8_t(s));
            else
                putBigEndian(out, v.littleEndian ? std::uint16_t(s << 8 | s >> 8) : s, 2);
        }
    if (v.timestamps)
        for (std::size_t k = 0; k < v.frames.size(); ++k) putBigEndian(out, 0x08D0000000000000ull + k, 8);
    return out;
}

std::vector<std::uint8_t> fitsBytes(std::int32_t bitpix, std::int32_t width, std::int32_t height, std::int32_t planes,
                                    const std::vector<double>& values, const std::vector<std::string>& extraCards) {
    std::string header;
    putCard(header, "SIMPLE  =                    T");
    putCard(header, valueCard("BITPIX", bitpix));
    putCard(header, valueCard("NAXIS", planes > 0 ? 3 : 2));
    putCard(header, valueCard("NAXIS1", width));
    putCard(header, valueCard("NAXIS2", height));
    if (planes > 0) putCard(header, valueCard("NAXIS3", planes));
    if (bitpix == 16) {
        putCard(header, valueCard("BZERO", 32768));
        putCard(header, valueCard("BSCALE", 1));
    }
    for (const std::string& card : extraCards) putCard(header, card);
    putCard(header, "END");
    header.append((2880 - header.size() % 2880) % 2880, ' ');
    std::vector<std::uint8_t> out(header.begin(), header.end());
    for (const double value : values) {
        if (bitpix == 8)
            out.push_back(std::uint8_t(value));
        else if (bitpix == 16 || bitpix == 32)
            putBigEndian(out, std::uint32_t(std::int32_t(value) - (bitpix == 16 ? 32768 : 0)), bitpix / 8);
        else if (bitpix == -32)
            putBigEndian(out, std::bit_cast<std::uint32_t>(float(value)), 4);
        else
            putBigEndian(out, std::bit_cast<std::uint64_t>(value), 8);
    }
    out.resize(out.size() + (2880 - out.size() % 2880) % 2880, 0);
    return out;
}
