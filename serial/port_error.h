#pragma once
// Why a port could not be opened, so a front end can say what to do about it.
// Its own header: the port below the job layer sets it, the seam above carries it.

namespace zarvek {

enum class PortError { None, NotFound, Busy, NotPermitted, Other };

}  // namespace zarvek
