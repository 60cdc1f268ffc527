// Fails to compile, naming the flag, unless device code is built for the
// device: ARMV4I's instruction set in ARM mode with interworking, soft
// float, char signed (ARM Linux's is unsigned), a 16-bit wchar_t, no
// position-independent code, freestanding, neither exceptions nor RTTI.
// Built as device code beside the deliverables, which depend on it.
#if !defined(__arm__) || !defined(__ARMEL__)
#error "not little-endian ARM code"
#endif
#if !defined(__ARM_ARCH_4T__)
#error "not ARMv4T code: the device flags need -march=armv4t"
#endif
#if defined(__thumb__)
#error "Thumb code: the device flags need -marm (the PE linker relocates ARM branches only)"
#endif
#if !defined(__THUMB_INTERWORK__)
#error "no interworking: the device flags need -mthumb-interwork"
#endif
#if !defined(__SOFTFP__)
#error "floating point in registers: the device flags need -mfloat-abi=soft"
#endif
#if defined(__CHAR_UNSIGNED__)
#error "char is unsigned: the device flags need -fsigned-char (char is signed on the device)"
#endif
#if __SIZEOF_WCHAR_T__ != 2
#error "wchar_t is not 16 bits: the device flags need -fshort-wchar"
#endif
#if defined(__PIC__) || defined(__pic__) || defined(__PIE__)
#error "position-independent code: the device flags need -fno-pic -fno-pie"
#endif
#if __STDC_HOSTED__
#error "hosted: the device flags need -ffreestanding"
#endif
#if defined(__EXCEPTIONS) || defined(__GXX_RTTI)
#error "exceptions or RTTI: the device flags need -fno-exceptions -fno-rtti"
#endif
#if !defined(UNDER_CE)
#error "UNDER_CE is not defined: not built by the device's compiler driver"
#endif

// One definition, so that the object is not empty.
extern "C" int DeviceFlagsChecked(void) { return 1; }
