// A global with a constructor: nothing on the device would run it.
struct Counted {
    Counted();
    int value;
};

Counted g_counted;
