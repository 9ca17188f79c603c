#include <iostream>
#include "KeshOCR.h"
int main() {
  veltrano::KeshOCRModule module;
  std::cout << module.Version();
  return 0;
}
