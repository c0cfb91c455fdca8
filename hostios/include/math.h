// The C library's mathematics, as iOS's libSystem (libsystem_m) exports it. long double is
// double on Darwin arm64, and the "l" functions exist under their own names.
#pragma once

#include "darwin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef float float_t;
typedef double double_t;

#define HUGE_VAL __builtin_huge_val()
#define HUGE_VALF __builtin_huge_valf()
#define HUGE_VALL __builtin_huge_vall()
#define INFINITY __builtin_inff()
#define NAN __builtin_nanf("")

#define FP_NAN 1
#define FP_INFINITE 2
#define FP_ZERO 3
#define FP_NORMAL 4
#define FP_SUBNORMAL 5
#define FP_ILOGB0 (-2147483647 - 1)
#define FP_ILOGBNAN (-2147483647 - 1)
#define MATH_ERRNO 1
#define MATH_ERREXCEPT 2
#define math_errhandling MATH_ERREXCEPT

#define fpclassify(x) \
  __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO, (x))
#define isnan(x) __builtin_isnan(x)
#define isinf(x) __builtin_isinf(x)
#define isfinite(x) __builtin_isfinite(x)
#define isnormal(x) __builtin_isnormal(x)
#define signbit(x) __builtin_signbit(x)
#define isgreater(x, y) __builtin_isgreater((x), (y))
#define isgreaterequal(x, y) __builtin_isgreaterequal((x), (y))
#define isless(x, y) __builtin_isless((x), (y))
#define islessequal(x, y) __builtin_islessequal((x), (y))
#define islessgreater(x, y) __builtin_islessgreater((x), (y))
#define isunordered(x, y) __builtin_isunordered((x), (y))

// One function in its three widths: double, float ("f") and long double ("l").
#define HOSTIOS_MATH_1(name) \
  double name(double);       \
  float name##f(float);      \
  long double name##l(long double);
#define HOSTIOS_MATH_2(name)   \
  double name(double, double); \
  float name##f(float, float); \
  long double name##l(long double, long double);

HOSTIOS_MATH_1(acos)
HOSTIOS_MATH_1(asin) HOSTIOS_MATH_1(atan) HOSTIOS_MATH_2(atan2) HOSTIOS_MATH_1(cos)
    HOSTIOS_MATH_1(sin) HOSTIOS_MATH_1(tan) HOSTIOS_MATH_1(acosh) HOSTIOS_MATH_1(asinh)
        HOSTIOS_MATH_1(atanh) HOSTIOS_MATH_1(cosh) HOSTIOS_MATH_1(sinh) HOSTIOS_MATH_1(tanh)
            HOSTIOS_MATH_1(exp) HOSTIOS_MATH_1(exp2) HOSTIOS_MATH_1(expm1) HOSTIOS_MATH_1(log)
                HOSTIOS_MATH_1(log10) HOSTIOS_MATH_1(log1p) HOSTIOS_MATH_1(log2)
                    HOSTIOS_MATH_1(logb) HOSTIOS_MATH_1(cbrt) HOSTIOS_MATH_1(fabs)
                        HOSTIOS_MATH_2(hypot) HOSTIOS_MATH_2(pow) HOSTIOS_MATH_1(sqrt)
                            HOSTIOS_MATH_1(erf) HOSTIOS_MATH_1(erfc) HOSTIOS_MATH_1(lgamma)
                                HOSTIOS_MATH_1(tgamma) HOSTIOS_MATH_1(ceil) HOSTIOS_MATH_1(floor)
                                    HOSTIOS_MATH_1(nearbyint) HOSTIOS_MATH_1(rint)
                                        HOSTIOS_MATH_1(round) HOSTIOS_MATH_1(trunc)
                                            HOSTIOS_MATH_2(fmod) HOSTIOS_MATH_2(remainder)
                                                HOSTIOS_MATH_2(copysign) HOSTIOS_MATH_2(nextafter)
                                                    HOSTIOS_MATH_2(fdim) HOSTIOS_MATH_2(fmax)
                                                        HOSTIOS_MATH_2(fmin)

#undef HOSTIOS_MATH_1
#undef HOSTIOS_MATH_2

                                                            double frexp(double, int*);
float frexpf(float, int*);
long double frexpl(long double, int*);
int ilogb(double);
int ilogbf(float);
int ilogbl(long double);
double ldexp(double, int);
float ldexpf(float, int);
long double ldexpl(long double, int);
double modf(double, double*);
float modff(float, float*);
long double modfl(long double, long double*);
double scalbn(double, int);
float scalbnf(float, int);
long double scalbnl(long double, int);
double scalbln(double, long);
float scalblnf(float, long);
long double scalblnl(long double, long);
long lrint(double);
long lrintf(float);
long lrintl(long double);
long long llrint(double);
long long llrintf(float);
long long llrintl(long double);
long lround(double);
long lroundf(float);
long lroundl(long double);
long long llround(double);
long long llroundf(float);
long long llroundl(long double);
double remquo(double, double, int*);
float remquof(float, float, int*);
long double remquol(long double, long double, int*);
double nan(const char*);
float nanf(const char*);
long double nanl(const char*);
double nexttoward(double, long double);
float nexttowardf(float, long double);
long double nexttowardl(long double, long double);
double fma(double, double, double);
float fmaf(float, float, float);
long double fmal(long double, long double, long double);

#ifdef __cplusplus
}
#endif
