#include <iostream>

int main() {
  std::cerr << "tillbase-cli: not built yet\n";
  return 2;
}
