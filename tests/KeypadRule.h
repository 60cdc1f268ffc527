/* The keypad lock's decision table, written once, from the table and not
 * from the library, for every test that judges a key: the filter's tests,
 * the fuzzer, the threaded tests, the soaks and the Wine tests (through
 * KeypadOracle.h), and the program that plays the keys on a real kernel,
 * which is device code (hence plain C macros). A key event passes only
 * while the phone's status word has a call bit, the mode is 1, and the key
 * is a call key; everything else is swallowed. */
#ifndef KEYPAD_RULE_H
#define KEYPAD_RULE_H

/* Talking, outgoing call connecting, incoming call ringing, call on hold. */
#define KEYPAD_RULE_CALL_BITS (0x20000000u | 0x00020000u | 0x00010000u | 0x00004000u)
/* The only mode in which a key passes. */
#define KEYPAD_RULE_CALL_MODE 1u
/* VK_F3..VK_F6. */
#define KEYPAD_RULE_IS_CALL_KEY(vk) ((unsigned long)(vk) >= 0x72u && (unsigned long)(vk) <= 0x75u)

#define KEYPAD_RULE_PASSES(status, mode, vk)                                   \
    (((unsigned long)(status) & KEYPAD_RULE_CALL_BITS) != 0 &&                \
     (unsigned long)(mode) == KEYPAD_RULE_CALL_MODE && KEYPAD_RULE_IS_CALL_KEY(vk))

#endif
