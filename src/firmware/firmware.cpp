#include "firmware.h"

Firmware::~Firmware() = default;
