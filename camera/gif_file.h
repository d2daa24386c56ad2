#pragma once
// A series of pictures as an animated GIF (GIF89a) that loops forever, each
// frame with its own delay. The colours are one fixed palette of 6 x 7 x 6
// levels (red, green, blue: green gets the extra level, the eye tells its
// steps apart best), 252 colours, the same for every frame, so a frame needs
// no colour table of its own and no search for one; a 4 x 4 ordered dither
// spreads the error between levels so the scene's ramps show no bands, and
// a colour on the palette comes out exactly. Frames are built as they come:
// a long series costs a few KB a frame, not the pictures themselves.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame_convert.h"

struct GifWriter {
  std::vector<std::uint8_t> bytes;  // the file so far
  std::uint32_t frames = 0;
};

// The header, the palette and the loop.
void gif_start(GifWriter& gif);
// One frame, shown for `delay_centiseconds` before the next.
void gif_add_frame(GifWriter& gif, const Picture& picture, std::uint16_t delay_centiseconds);
// The trailer: `gif.bytes` is then the whole file.
void gif_finish(GifWriter& gif);

// The palette index of each pixel, rows top first, dithered.
std::vector<std::uint8_t> gif_palette_indices(const Picture& picture);
// The palette's colour `index` as red, green, blue (indices 252 to 255 black).
void gif_palette_colour(std::uint8_t index, std::uint8_t rgb[3]);

// GIF's variable-length LZW of `count` indices below 2^min_code_size, codes
// packed first bit lowest, without the 255-byte sub-block framing: a clear
// code first, a clear again whenever the 4,096 codes are used up, the end
// code last.
std::vector<std::uint8_t> gif_lzw(const std::uint8_t* indices, std::size_t count, int min_code_size);
