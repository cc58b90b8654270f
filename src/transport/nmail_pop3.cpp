// PLACEHOLDER: to be written by the POP3 transport work.
#include "transport/nmail.h"

int NMailPop3Connect(const QString&) { return -1; }
int NMailPop3Authenticate(int, const QString&, const QString&, int) { return -1; }
int NMailPop3Close(int) { return -1; }
