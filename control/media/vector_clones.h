// Hot loops of the camera decoder get an AVX2 clone picked at load time on x86-64. Sanitizer
// runtimes cannot run the loader's resolver functions that this relies on, so sanitizer builds keep
// the one portable version (TREVASK_NO_IFUNC), as other processors do.
#pragma once

#if defined(TREVASK_NO_IFUNC) || !defined(__x86_64__)
#define TREVASK_VECTOR_CLONES
#else
#define TREVASK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif
