// A program that links an installed KX: it creates a class by name through the registry and
// prints the folder the library was loaded from.
#include <algorithm>
#include <iostream>
#include <string>

#include "kx/host.h"
#include "kx/registry.h"
#include "kx/transaction.h"

int main() {
  const std::string wanted = "C_JBTypeProfile";
  const auto names = kx::Registry::Instance().ClassNames();
  if (std::find(names.begin(), names.end(), wanted) == names.end()) {
    std::cerr << wanted << " is not registered (" << names.size() << " classes)\n";
    return 1;
  }
  // A scope in which nothing ran commits nothing and reports success.
  if (!kx::TransactionScope().Complete()) {
    std::cerr << "an empty transaction scope did not complete\n";
    return 1;
  }
  if (!kx::Registry::Instance().Create(wanted)) {
    std::cerr << wanted << " cannot be created\n";
    return 1;
  }
  std::cout << names.size() << " classes, library in " << kx::LibraryFolder() << "\n";
  return 0;
}
