// The 512-bit Montgomery product with the BMI2 and ADX instructions: mulx
// leaves the flags alone, so two carry chains (adcx on CF, adox on OF) run
// through each row at once, and the whole row stays in registers.
//
// Product first (a * b into 16 limbs; for a square each cross product once,
// then doubled, then the squares added), then eight reduction rounds over its
// low half, then the high half added and one conditional subtraction. The
// rounds need no ninth limb only while m < 2^512 - 2^448: each round adds
// at most (2^64 - 1) m to a window below 2^512, and leaves it below
// m + 2^448 after the shift. The caller checks that bound.
#include "nvs/index/montgomery.h"

#if defined(__x86_64__)

#include <cpuid.h>

#include <cstring>

namespace nv::nvs::index::detail {

namespace {

// clang-format off

// One product on the two carry chains: a[j] * rdx (rsi = a), low half into
// `low` (OF chain), high half into `high` (CF chain).
#define NORVA_MULX_STEP(j, low, high)                         \
    "mulxq " #j "*8(%%rsi), %%rax, %%rbx\n\t"                 \
    "adoxq %%rax, %%" #low "\n\t"                             \
    "adcxq %%rbx, %%" #high "\n\t"

// Both carries added into `top`, with rdx = 0.
#define NORVA_FLUSH_CARRIES(top)                              \
    "movl $0, %%edx\n\t"                                      \
    "adcxq %%rdx, %%" #top "\n\t"                             \
    "adoxq %%rdx, %%" #top "\n\t"

// The window (eight registers, w0 the lowest) gains a * rdx, flags clear on
// entry. Its lowest limb is then final: `take_w0` runs on it before its
// register takes the new top limb, so the next window starts at w1.
#define NORVA_MULTIPLY_ADD(take_w0, w0, w1, w2, w3, w4, w5, w6, w7) \
    NORVA_MULX_STEP(0, w0, w1)                                \
    take_w0                                                   \
    NORVA_MULX_STEP(1, w1, w2)                                \
    NORVA_MULX_STEP(2, w2, w3)                                \
    NORVA_MULX_STEP(3, w3, w4)                                \
    NORVA_MULX_STEP(4, w4, w5)                                \
    NORVA_MULX_STEP(5, w5, w6)                                \
    NORVA_MULX_STEP(6, w6, w7)                                \
    "mulxq 56(%%rsi), %%rax, %%" #w0 "\n\t"                   \
    "adoxq %%rax, %%" #w7 "\n\t"                              \
    NORVA_FLUSH_CARRIES(w0)

// Row i of the product: the window gains a * b[i], and its final lowest limb
// is stored as t[i]. rsi = a, rcx = b, rdi = t.
#define NORVA_PRODUCT_ROW(i, w0, w1, w2, w3, w4, w5, w6, w7) \
    "movq " #i "*8(%%rcx), %%rdx\n\t"                         \
    "xorl %%eax, %%eax\n\t"                                   \
    NORVA_MULTIPLY_ADD("movq %%" #w0 ", " #i "*8(%%rdi)\n\t", w0, w1, w2, w3, w4, w5, w6, w7)

// One reduction round: the window gains q * m with q = w0 * (-m^-1) mod
// 2^64, which makes w0 zero. rsi = m, rcx = -m^-1 mod 2^64.
#define NORVA_REDUCTION_ROUND(w0, w1, w2, w3, w4, w5, w6, w7) \
    "movq %%" #w0 ", %%rdx\n\t"                               \
    "imulq %%rcx, %%rdx\n\t"                                  \
    "xorl %%eax, %%eax\n\t"                                   \
    NORVA_MULTIPLY_ADD("", w0, w1, w2, w3, w4, w5, w6, w7)

// After eight rows or rounds the window is back in r8 (lowest) to r15.
#define NORVA_EIGHT(step)                                      \
    step(0, r8, r9, r10, r11, r12, r13, r14, r15)              \
    step(1, r9, r10, r11, r12, r13, r14, r15, r8)              \
    step(2, r10, r11, r12, r13, r14, r15, r8, r9)              \
    step(3, r11, r12, r13, r14, r15, r8, r9, r10)              \
    step(4, r12, r13, r14, r15, r8, r9, r10, r11)              \
    step(5, r13, r14, r15, r8, r9, r10, r11, r12)              \
    step(6, r14, r15, r8, r9, r10, r11, r12, r13)              \
    step(7, r15, r8, r9, r10, r11, r12, r13, r14)

#define NORVA_ROUND_AT(i, w0, w1, w2, w3, w4, w5, w6, w7) NORVA_REDUCTION_ROUND(w0, w1, w2, w3, w4, w5, w6, w7)

// clang-format on

__attribute__((target("bmi2,adx"))) void product(std::uint64_t* t, const std::uint64_t* a,
                                                 const std::uint64_t* b) noexcept
{
    asm volatile("xorl %%r8d, %%r8d\n\t"
                 "xorl %%r9d, %%r9d\n\t"
                 "xorl %%r10d, %%r10d\n\t"
                 "xorl %%r11d, %%r11d\n\t"
                 "xorl %%r12d, %%r12d\n\t"
                 "xorl %%r13d, %%r13d\n\t"
                 "xorl %%r14d, %%r14d\n\t"
                 "xorl %%r15d, %%r15d\n\t" //
                 NORVA_EIGHT(NORVA_PRODUCT_ROW)
                 "movq %%r8, 64(%%rdi)\n\t"
                 "movq %%r9, 72(%%rdi)\n\t"
                 "movq %%r10, 80(%%rdi)\n\t"
                 "movq %%r11, 88(%%rdi)\n\t"
                 "movq %%r12, 96(%%rdi)\n\t"
                 "movq %%r13, 104(%%rdi)\n\t"
                 "movq %%r14, 112(%%rdi)\n\t"
                 "movq %%r15, 120(%%rdi)\n\t"
                 :
                 : "S"(a), "c"(b), "D"(t)
                 : "rax", "rbx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "cc", "memory");
}

// out = t * 2^-512 mod m for the 16 limbs of t, fully reduced (t has room
// for a 17th, which carries `out` into the assembly): the rounds make the low
// half (t[0..7] + q m) / 2^512 for the q that makes it exact; that plus the
// high half is below 2m (t < m * 2^512) but possibly not below 2^512, so the
// carry out of the addition counts as a ninth limb; m is subtracted unless
// the sum is below it. The result leaves in 16-byte stores: the callers copy
// it with 16-byte loads, which 8-byte stores could not forward to.
__attribute__((target("bmi2,adx"))) void reduce(std::uint64_t* t, const std::uint64_t* m, std::uint64_t m0_inverse,
                                                std::uint64_t* out) noexcept
{
    std::memcpy(t + 16, &out, sizeof out);
    asm volatile("movq 0(%%rdi), %%r8\n\t"
                 "movq 8(%%rdi), %%r9\n\t"
                 "movq 16(%%rdi), %%r10\n\t"
                 "movq 24(%%rdi), %%r11\n\t"
                 "movq 32(%%rdi), %%r12\n\t"
                 "movq 40(%%rdi), %%r13\n\t"
                 "movq 48(%%rdi), %%r14\n\t"
                 "movq 56(%%rdi), %%r15\n\t" //
                 NORVA_EIGHT(NORVA_ROUND_AT)
                 // The high half added; rbx = all ones on a carry out.
                 "addq 64(%%rdi), %%r8\n\t"
                 "adcq 72(%%rdi), %%r9\n\t"
                 "adcq 80(%%rdi), %%r10\n\t"
                 "adcq 88(%%rdi), %%r11\n\t"
                 "adcq 96(%%rdi), %%r12\n\t"
                 "adcq 104(%%rdi), %%r13\n\t"
                 "adcq 112(%%rdi), %%r14\n\t"
                 "adcq 120(%%rdi), %%r15\n\t"
                 "sbbq %%rbx, %%rbx\n\t"
                 "movq %%r8, 0(%%rdi)\n\t"
                 "movq %%r9, 8(%%rdi)\n\t"
                 "movq %%r10, 16(%%rdi)\n\t"
                 "movq %%r11, 24(%%rdi)\n\t"
                 "movq %%r12, 32(%%rdi)\n\t"
                 "movq %%r13, 40(%%rdi)\n\t"
                 "movq %%r14, 48(%%rdi)\n\t"
                 "movq %%r15, 56(%%rdi)\n\t"
                 // m taken away; rax = all ones on a borrow.
                 "subq 0(%%rsi), %%r8\n\t"
                 "sbbq 8(%%rsi), %%r9\n\t"
                 "sbbq 16(%%rsi), %%r10\n\t"
                 "sbbq 24(%%rsi), %%r11\n\t"
                 "sbbq 32(%%rsi), %%r12\n\t"
                 "sbbq 40(%%rsi), %%r13\n\t"
                 "sbbq 48(%%rsi), %%r14\n\t"
                 "sbbq 56(%%rsi), %%r15\n\t"
                 "sbbq %%rax, %%rax\n\t"
                 // The sum stays when it had no carry and m was more than it.
                 "notq %%rbx\n\t"
                 "testq %%rax, %%rbx\n\t"
                 "cmovnzq 0(%%rdi), %%r8\n\t"
                 "cmovnzq 8(%%rdi), %%r9\n\t"
                 "cmovnzq 16(%%rdi), %%r10\n\t"
                 "cmovnzq 24(%%rdi), %%r11\n\t"
                 "cmovnzq 32(%%rdi), %%r12\n\t"
                 "cmovnzq 40(%%rdi), %%r13\n\t"
                 "cmovnzq 48(%%rdi), %%r14\n\t"
                 "cmovnzq 56(%%rdi), %%r15\n\t"
                 // rcx (-m^-1) is free now: it takes the destination, which
                 // waits in t[16] (no register is left to hold it throughout).
                 "movq 128(%%rdi), %%rcx\n\t"
                 "movq %%r8, %%xmm0\n\t"
                 "movq %%r9, %%xmm1\n\t"
                 "punpcklqdq %%xmm1, %%xmm0\n\t"
                 "movdqu %%xmm0, 0(%%rcx)\n\t"
                 "movq %%r10, %%xmm0\n\t"
                 "movq %%r11, %%xmm1\n\t"
                 "punpcklqdq %%xmm1, %%xmm0\n\t"
                 "movdqu %%xmm0, 16(%%rcx)\n\t"
                 "movq %%r12, %%xmm0\n\t"
                 "movq %%r13, %%xmm1\n\t"
                 "punpcklqdq %%xmm1, %%xmm0\n\t"
                 "movdqu %%xmm0, 32(%%rcx)\n\t"
                 "movq %%r14, %%xmm0\n\t"
                 "movq %%r15, %%xmm1\n\t"
                 "punpcklqdq %%xmm1, %%xmm0\n\t"
                 "movdqu %%xmm0, 48(%%rcx)\n\t"
                 : "+c"(m0_inverse)
                 : "D"(t), "S"(m)
                 : "rax", "rbx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "xmm0", "xmm1", "cc",
                   "memory");
}

// Limbs 2i and 2i + 1 of the square: twice the cross products plus a[i]^2.
#define NORVA_SQUARE_DIAGONAL(i)              \
    "movq " #i "*8(%%rsi), %%rdx\n\t"         \
    "mulxq %%rdx, %%rax, %%rbx\n\t"           \
    "movq " #i "*16(%%rdi), %%r8\n\t"         \
    "movq " #i "*16+8(%%rdi), %%r9\n\t"       \
    "adcxq %%r8, %%r8\n\t"                    \
    "adcxq %%r9, %%r9\n\t"                    \
    "adoxq %%rax, %%r8\n\t"                   \
    "adoxq %%rbx, %%r9\n\t"                   \
    "movq %%r8, " #i "*16(%%rdi)\n\t"         \
    "movq %%r9, " #i "*16+8(%%rdi)\n\t"

// Row i of the squaring's cross products starts with rdx = a[i] and flags
// clear, and ends with both carries flushed into its top limb, i + 8, which
// was zeroed.
#define NORVA_SQUARE_ROW_START(i) \
    "movq " #i "*8(%%rsi), %%rdx\n\t" \
    "xorl %%eax, %%eax\n\t"

// The products a[i] a[j], i < j, summed into t[1..14] (t[0] and t[15] are
// zero), then doubled and the squares a[i]^2 added in one pass. Limb k of the
// sum lives in register r8 + (k - 1) % 8 until it is final: row i adds to
// limbs 2i + 1 to i + 8, and after it limbs 2i + 1 and 2i + 2 are final.
__attribute__((target("bmi2,adx"))) void square_product(std::uint64_t* t, const std::uint64_t* a) noexcept
{
    asm volatile("xorl %%r8d, %%r8d\n\t"
                 "xorl %%r9d, %%r9d\n\t"
                 "xorl %%r10d, %%r10d\n\t"
                 "xorl %%r11d, %%r11d\n\t"
                 "xorl %%r12d, %%r12d\n\t"
                 "xorl %%r13d, %%r13d\n\t"
                 "xorl %%r14d, %%r14d\n\t"
                 "xorl %%r15d, %%r15d\n\t"
                 // Row 0: limbs 1 to 8.
                 NORVA_SQUARE_ROW_START(0)
                 NORVA_MULX_STEP(1, r8, r9)
                 NORVA_MULX_STEP(2, r9, r10)
                 NORVA_MULX_STEP(3, r10, r11)
                 NORVA_MULX_STEP(4, r11, r12)
                 NORVA_MULX_STEP(5, r12, r13)
                 NORVA_MULX_STEP(6, r13, r14)
                 NORVA_MULX_STEP(7, r14, r15)
                 NORVA_FLUSH_CARRIES(r15)
                 "movq %%r8, 8(%%rdi)\n\t"
                 "movq %%r9, 16(%%rdi)\n\t"
                 "xorl %%r8d, %%r8d\n\t"
                 // Row 1: limbs 3 to 9.
                 NORVA_SQUARE_ROW_START(1)
                 NORVA_MULX_STEP(2, r10, r11)
                 NORVA_MULX_STEP(3, r11, r12)
                 NORVA_MULX_STEP(4, r12, r13)
                 NORVA_MULX_STEP(5, r13, r14)
                 NORVA_MULX_STEP(6, r14, r15)
                 NORVA_MULX_STEP(7, r15, r8)
                 NORVA_FLUSH_CARRIES(r8)
                 "movq %%r10, 24(%%rdi)\n\t"
                 "movq %%r11, 32(%%rdi)\n\t"
                 "xorl %%r9d, %%r9d\n\t"
                 // Row 2: limbs 5 to 10.
                 NORVA_SQUARE_ROW_START(2)
                 NORVA_MULX_STEP(3, r12, r13)
                 NORVA_MULX_STEP(4, r13, r14)
                 NORVA_MULX_STEP(5, r14, r15)
                 NORVA_MULX_STEP(6, r15, r8)
                 NORVA_MULX_STEP(7, r8, r9)
                 NORVA_FLUSH_CARRIES(r9)
                 "movq %%r12, 40(%%rdi)\n\t"
                 "movq %%r13, 48(%%rdi)\n\t"
                 "xorl %%r10d, %%r10d\n\t"
                 // Row 3: limbs 7 to 11.
                 NORVA_SQUARE_ROW_START(3)
                 NORVA_MULX_STEP(4, r14, r15)
                 NORVA_MULX_STEP(5, r15, r8)
                 NORVA_MULX_STEP(6, r8, r9)
                 NORVA_MULX_STEP(7, r9, r10)
                 NORVA_FLUSH_CARRIES(r10)
                 "movq %%r14, 56(%%rdi)\n\t"
                 "movq %%r15, 64(%%rdi)\n\t"
                 "xorl %%r11d, %%r11d\n\t"
                 // Row 4: limbs 9 to 12.
                 NORVA_SQUARE_ROW_START(4)
                 NORVA_MULX_STEP(5, r8, r9)
                 NORVA_MULX_STEP(6, r9, r10)
                 NORVA_MULX_STEP(7, r10, r11)
                 NORVA_FLUSH_CARRIES(r11)
                 "movq %%r8, 72(%%rdi)\n\t"
                 "movq %%r9, 80(%%rdi)\n\t"
                 "xorl %%r12d, %%r12d\n\t"
                 // Row 5: limbs 11 to 13.
                 NORVA_SQUARE_ROW_START(5)
                 NORVA_MULX_STEP(6, r10, r11)
                 NORVA_MULX_STEP(7, r11, r12)
                 NORVA_FLUSH_CARRIES(r12)
                 "movq %%r10, 88(%%rdi)\n\t"
                 "movq %%r11, 96(%%rdi)\n\t"
                 "xorl %%r13d, %%r13d\n\t"
                 // Row 6: limbs 13 and 14.
                 NORVA_SQUARE_ROW_START(6)
                 NORVA_MULX_STEP(7, r12, r13)
                 NORVA_FLUSH_CARRIES(r13)
                 "movq %%r12, 104(%%rdi)\n\t"
                 "movq %%r13, 112(%%rdi)\n\t"
                 "movq $0, 0(%%rdi)\n\t"
                 "movq $0, 120(%%rdi)\n\t"
                 // Doubled (CF chain) plus the squares (OF chain), two limbs at a time.
                 "xorl %%eax, %%eax\n\t"
                 NORVA_SQUARE_DIAGONAL(0)
                 NORVA_SQUARE_DIAGONAL(1)
                 NORVA_SQUARE_DIAGONAL(2)
                 NORVA_SQUARE_DIAGONAL(3)
                 NORVA_SQUARE_DIAGONAL(4)
                 NORVA_SQUARE_DIAGONAL(5)
                 NORVA_SQUARE_DIAGONAL(6)
                 NORVA_SQUARE_DIAGONAL(7)
                 :
                 : "S"(a), "D"(t)
                 : "rax", "rbx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "cc", "memory");
}

#undef NORVA_SQUARE_DIAGONAL
#undef NORVA_SQUARE_ROW_START
#undef NORVA_ROUND_AT
#undef NORVA_EIGHT
#undef NORVA_REDUCTION_ROUND
#undef NORVA_PRODUCT_ROW
#undef NORVA_MULTIPLY_ADD
#undef NORVA_FLUSH_CARRIES
#undef NORVA_MULX_STEP

} // namespace

// Asked of the processor itself: not every compiler's __builtin_cpu_supports
// knows "adx".
bool adx_available() noexcept
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    constexpr unsigned bmi2 = 1u << 8, adx = 1u << 19; // leaf 7, EBX
    return (ebx & bmi2) != 0 && (ebx & adx) != 0;
}


__attribute__((target("bmi2,adx"))) void multiply_8_adx(std::uint64_t* out, const std::uint64_t* a,
                                                        const std::uint64_t* b, const std::uint64_t* m,
                                                        std::uint64_t m0_inverse) noexcept
{
    std::uint64_t t[17];
    product(t, a, b);
    reduce(t, m, m0_inverse, out);
}

__attribute__((target("bmi2,adx"))) void square_8_adx(std::uint64_t* out, const std::uint64_t* a,
                                                      const std::uint64_t* m, std::uint64_t m0_inverse) noexcept
{
    std::uint64_t t[17];
    square_product(t, a);
    reduce(t, m, m0_inverse, out);
}

} // namespace nv::nvs::index::detail

#endif
