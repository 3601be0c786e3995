// Requests of the instrument.
#include "v21_comm.h"

#include "mxx_comm.h"

int V21_probe(int, int) {
    return 0;
}

int V21_test_probe(int, const unsigned char *, int *type, int) {
    *type = 10;
    return 0;
}
