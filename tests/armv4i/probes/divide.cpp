// ARMv4T has no divide instruction: the compiler calls libgcc, which a
// device file cannot link.
int Divide(int dividend, int divisor) { return dividend / divisor; }
