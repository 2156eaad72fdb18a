// Complex FFT of the neural front end.
#pragma once

// In place over n complex points stored as 2n interleaved floats (re, im, re, ...); n is a power
// of two. sign -1 is the forward transform (kernel e^(-2 pi i jk/n)), +1 the inverse kernel.
// Neither direction scales.
void kwFft(float* data, int n, int sign);
