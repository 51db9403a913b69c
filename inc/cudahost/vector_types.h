// Host stand-in of the CUDA vector types that fyrnol uses: double2, uint3 and dim3.
#ifndef FYRNOL_CUDAHOST_VECTOR_TYPES_H
#define FYRNOL_CUDAHOST_VECTOR_TYPES_H

// Real part, then imaginary part, 16-byte aligned as on the device.
struct alignas(16) double2 {
    double x, y;
};

struct uint3 {
    unsigned int x, y, z;
};

// Extents of a grid or a block; missing extents are 1.
struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator uint3() const { return uint3{x, y, z}; }
};

#endif
