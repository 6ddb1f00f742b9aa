
#include <cstring>

#include "common/precision.h"
#include "driver/run_settings.h"
#include "registration/image_difference.h"
#include "reference/plain.h"

namespace plain {

namespace {

constexpr float kNoScore = 1e9f;

Image newBlock() {
    const std::int32_t side = 2 * settings.blockSearchWidth + 1;
    Image block;
    block.width = side;
    block.height = side;
    block.pixels = allocatePixels(side, side);
    return block;
}

}   // namespace

float findBlockOffsetInteger(float& outDx, float& outDy, std::int32_t bx, std::int32_t by) {
    const RunSettings& s = settings;
    const Image& cur = s.current;
    const std::int32_t half = s.blockSearchWidth;
    outDx = 0;
    outDy = 0;
    Image block = newBlock();
    for (std::int32_t row = 0; row < block.height; ++row) {
        for (std::int32_t col = 0; col < block.width; ++col) {
            const std::int32_t x = bx + col - half, y = by + row - half;
            std::uint8_t* out = pixelAt(block, col, row);
            if (x >= 0 && x < cur.width && y >= 0 && y < cur.height) {
                std::memcpy(out, pixelAt(cur, x, y), kBytesPerPixel);
            } else {
                std::memset(out, 0, kBytesPerPixel);
            }
        }
    }
    float best = kNoScore;
    for (std::int32_t dx = s.blockShiftXMin; dx <= s.blockShiftXMax;
         dx = std::int32_t(float(float(dx) + s.blockShiftStep))) {
        for (std::int32_t dy = s.blockShiftYMin; dy <= s.blockShiftYMax;
             dy = std::int32_t(float(float(dy) + s.blockShiftStep))) {
            block.x0 = cur.x0 - bx + half - dx;
            block.y0 = cur.y0 - by + half - dy;
            const Extended score = imageDifference(s.reference, block);
            if (score < best) {
                best = float(score);
                outDx = float(dx);
                outDy = float(dy);
            }
        }
    }
    releasePixels(block);
    return best;
}

float findBlockOffsetFractional(float& outDx, float& outDy, std::int32_t bx, std::int32_t by) {
    const RunSettings& s = settings;
    const Image& cur = s.current;
    outDx = 0;
    outDy = 0;
    Image block = newBlock();
    block.x0 = cur.x0 - bx;
    block.y0 = cur.y0 - by;
    float best = kNoScore;
    if (s.blockShiftXMin <= s.blockShiftXMax && s.blockShiftYMin <= s.blockShiftYMax) {
        for (float dx = float(s.blockShiftXMin);;) {
            for (float dy = float(s.blockShiftYMin);;) {
                for (std::int32_t row = 0; row < block.height; ++row) {
                    std::uint8_t* out = pixelAt(block, 0, row);
                    const float y = float(row) - dy;
                    const std::int32_t iy = std::int32_t(y);
                    const float fy = y - float(iy);
                    for (std::int32_t col = 0; col < block.width; ++col, out += kBytesPerPixel) {
                        const float x = float(col) - dx;
                        const std::int32_t ix = std::int32_t(x);
                        samplePixel(cur.pixels, cur.width, cur.height, bx + ix, by + iy, x - float(ix), fy, out);
                    }
                }
                const Extended score = imageDifference(s.reference, block);
                if (score < best) {
                    best = float(score);
                    outDx = dx;
                    outDy = dy;
                }
                const double next = double(dy) + double(s.blockShiftStep);
                if (next > s.blockShiftYMax) break;
                dy = float(next);
            }
            const double next = double(dx) + double(s.blockShiftStep);
            if (next > s.blockShiftXMax) break;
            dx = float(next);
        }
    }
    releasePixels(block);
    return best;
}

}   // namespace plain
