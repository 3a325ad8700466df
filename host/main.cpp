#include "host/services.h"

int main() { return 0; }
