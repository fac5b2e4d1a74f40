#include "HTTPServer.hpp"
