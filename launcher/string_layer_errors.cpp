// The standard library's own throw sites for the strings and vectors, taken
// over in the launcher: they throw the string layer's exception, as the
// design has it (E_INVALIDARG for an invalid length, index or argument,
// E_OUTOFMEMORY for a failed allocation), and so the runtime's exception
// classes with their reference-counted message strings stay out of the
// launcher. The guarded regions turn either form into the same CResult.
// (Only the launcher links this; the unit tests use the runtime's own.)
#include <bits/functexcept.h>

#include "foundation/result.h"

namespace std {

void __throw_bad_alloc() { throw CAtlException(E_OUTOFMEMORY); }
void __throw_bad_array_new_length() { throw CAtlException(E_OUTOFMEMORY); }
void __throw_length_error(const char*) { throw CAtlException(E_INVALIDARG); }
void __throw_logic_error(const char*) { throw CAtlException(E_INVALIDARG); }
void __throw_invalid_argument(const char*) { throw CAtlException(E_INVALIDARG); }
void __throw_out_of_range(const char*) { throw CAtlException(E_INVALIDARG); }
void __throw_out_of_range_fmt(const char*, ...) { throw CAtlException(E_INVALIDARG); }

}  // namespace std
