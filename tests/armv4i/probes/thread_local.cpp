// Thread-local data: a device file has no TLS directory for it.
__thread int g_perThread = 1;

int ReadPerThread() { return g_perThread; }
