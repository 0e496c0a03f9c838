// One step of an orbit, z -> z^2 + c, in EscapeCount's operations and their order: the tests'
// orbits are then exactly the states the viewer computes.
#pragma once

namespace fractal::testing {

// Steps z; returns |z|^2 before the step, the value the escape test compares with 4.
inline double StepOrbit(double c_real, double c_imag, double& z_real, double& z_imag) {
  const double zr2 = z_real * z_real;
  const double zi2 = z_imag * z_imag;
  const double t = (zr2 - zi2) + c_real;
  z_imag = c_imag + (2 * z_real) * z_imag;
  z_real = t;
  return zr2 + zi2;
}

}  // namespace fractal::testing
