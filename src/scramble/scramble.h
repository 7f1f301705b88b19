// The amplitude mirror: a keyless map of the samples that is its own inverse.
//
// A sample v of width w, read as a signed w-bit value, becomes 2^(w-1) - v when positive and
// -2^(w-1) - v when zero or negative; both are the one wrap-around subtraction from 0x80 or
// 0x8000. Positive values stay positive, and zero and the negative values stay among
// themselves: 0 and the most negative value (0x80, 0x8000) trade places. At 16 bits, where 0
// is silence, quiet samples turn loud and loud ones quiet. 8-bit samples are unsigned, silence
// being 0x80, and are mirrored read as signed all the same, on purpose: one map for both
// widths, under which silence (0x80) becomes 0, the loudest value, as it does at 16 bits.
// Running it twice restores every value.
#pragma once

#include "wav/wav_info.h"

// Mirror the samples of an 8-bit or a 16-bit clip in place, in one pass, front to back.
// Only whole frames are mapped, and in each frame only the first two samples; the samples of
// further channels and any bytes after the last whole frame are left as they are. A clip of
// no channels is left as it is.
void wavScramble8(WavInfo& info);
void wavScramble16(WavInfo& info);
