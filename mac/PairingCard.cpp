#include "PairingCard.hpp"
