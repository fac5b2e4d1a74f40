#include "StateEngine.hpp"
