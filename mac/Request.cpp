#include "Request.hpp"
