// A COM apartment for the life of a scope: CoInitialize (single-threaded) on
// entry, CoUninitialize on exit when the initialisation succeeded. Objects
// created in the apartment must be released before it ends.
#pragma once
#include <objbase.h>

namespace com {

class ComApartment {
 public:
  ComApartment() : hr_(CoInitialize(nullptr)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT hr_;
};

}  // namespace com
