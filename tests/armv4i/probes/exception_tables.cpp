// Built with exceptions on: the unwind tables cannot go into a device file.
void Risky();

int CallsRisky() {
    Risky();
    return 1;
}
