#include "mfplus/crypto.h"
