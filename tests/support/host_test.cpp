#include "tests/support/host_test.h"
