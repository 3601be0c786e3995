#include "session.h"

std::atomic<int> connected{0};
std::atomic<int> dev_type{0};
int id_conn = -1;
