#include "OrvaneBridgeApp.hpp"

int main(int argc, char** argv) {
  return orvane::OrvaneBridgeMain::main(argc, argv);
}
