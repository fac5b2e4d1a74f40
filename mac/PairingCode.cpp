#include "PairingCode.hpp"
