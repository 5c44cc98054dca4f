// Included last by every translation unit that holds a sample-rate path:
// from here on, naming a C library exponential, logarithm or power is a
// compile error, so those paths keep to the fast kernels.  The set-up
// arithmetic that needs the library lives in other units.
//
// Included after every other header, whose inline code may name them.
#pragma GCC poison exp expf expl exp2 exp2f exp2l exp10 exp10f exp10l expm1 expm1f expm1l
#pragma GCC poison log logf logl log2 log2f log2l log10 log10f log10l log1p log1pf log1pl
#pragma GCC poison pow powf powl
