// The deep stack: full-depth frames moved by the geometry their 8-bit views were aligned
// with, and their validity-weighted mean per pixel and channel, written as a 32-bit
// floating-point FITS image and a 16-bit PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blocks/block_stage.h"
#include "common/image.h"
#include "imageio/frame_source.h"
#include "registration/global_adjustment.h"

// The frame turned and shifted as rotateAndShift turns its 8-bit view (same positions, same
// rule at the borders, bilinear in single precision without truncation) into the box of
// box (its width, height and reference point: the aligned view's).
DeepImage rotateAndShiftDeep(const DeepImage& frame, const RigidGeometry& rigid, const Image& box);

// The frame deformed by the block grid as deformImage deforms its 8-bit view; the frame
// unchanged when the grid is empty.
DeepImage deformDeep(const DeepImage& frame, const BlockDeformation& blocks);

// Sums over the reference grid.
struct DeepStack {
    std::vector<double> sums;      // width * height * channels, top row first
    std::vector<double> weights;   // width * height
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t x0 = 0;   // the reference point of the reference
    std::int32_t y0 = 0;
    std::int32_t channels = 0;   // 1 (grey) or 3 (red, green, blue)
    float range = 255;           // values from 0 to range: the reference's depth
    std::int32_t frames = 0;     // frames added
};

// An empty stack over the reference (its size and reference point), with the channels and
// range of its deep frame.
DeepStack startDeepStack(const Image& reference, const DeepImage& referenceDeep);

// Adds an aligned frame whose reference point is (x0, y0), laid on the reference grid by
// the reference points as the composite lays its frames; a frame of another range is scaled
// to the stack's, a grey frame fills the three channels, a colour frame a grey stack with
// the mean of its three.
void addToDeepStack(DeepStack& stack, const DeepImage& aligned, std::int32_t x0, std::int32_t y0);

// The weighted mean of one cell and channel (0 where no frame had data).
float deepMean(const DeepStack& stack, std::size_t cell, std::int32_t channel);

// Writes the mean as name (FITS, 32-bit floats, NAXIS 3 for colour) and as the PNG of the
// same name with the extension .png (16 bits a sample, 0..range onto 0..65535). Reports
// every failure; false when a file could not be written.
bool writeDeepStack(const DeepStack& stack, const std::string& name);

// The bytes of the two files, for the writer and the tests.
std::string deepStackFits(const DeepStack& stack, const char* date);
bool deepStackPng(const DeepStack& stack, std::string& bytes);
