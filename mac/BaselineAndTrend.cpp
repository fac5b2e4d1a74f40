#include "BaselineAndTrend.hpp"
