#include "Router.hpp"
