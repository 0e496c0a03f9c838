// The process entry: hands the window's design to the window system, which never returns.
#include "platform/sdl_platform.h"
#include "window/form1.h"

int main() { fractal::RunSdlApplication(fractal::kForm1Design, fractal::MakeForm1Factory()); }
