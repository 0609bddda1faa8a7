// Turning a C++ exception thrown by the ring into a Python exception.
#pragma once

namespace orvix::corvane {

// Call inside a catch (...) handler. Unless a Python exception is already
// pending (then it stands), sets one from the exception being handled, the
// first matching row winning, with the exception's what() as the message:
//   bad_alloc -> MemoryError         bad_cast, bad_typeid -> TypeError
//   domain_error, invalid_argument -> ValueError
//   ios_base::failure -> IOError     out_of_range -> IndexError
//   overflow_error -> OverflowError  range_error, underflow_error -> ArithmeticError
//   any other std::exception -> RuntimeError; anything else -> RuntimeError "Unknown exception"
void set_error_from_native_exception() noexcept;

}  // namespace orvix::corvane
