// duskcard: the full-screen sleep notice. The command line ("sleep" when the
// daemon starts it) is not interpreted; the exit code is the entry's result,
// so another running instance gives -1, seen by the shell as 255.
#include "sleepscreen/startup.h"

int main() { return sleepscreen::runDuskcard(); }
