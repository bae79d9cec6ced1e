// Owned row-major matrices and read-only views over them (one sample per row).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvanta {

template <class T>
struct MatrixView {
    const T* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t stride = 0;  // elements between the starts of consecutive rows

    const T* row(std::size_t i) const noexcept { return data + i * stride; }
    T at(std::size_t i, std::size_t j) const noexcept { return data[i * stride + j]; }
};

template <class T>
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<T> data;  // rows * cols elements, row-major

    Matrix() = default;
    Matrix(std::size_t r, std::size_t c) : rows(r), cols(c), data(r * c, T(0)) {}
    Matrix(std::size_t r, std::size_t c, std::vector<T> values) : rows(r), cols(c), data(std::move(values)) {}

    T* row(std::size_t i) noexcept { return data.data() + i * cols; }
    const T* row(std::size_t i) const noexcept { return data.data() + i * cols; }
    MatrixView<T> view() const noexcept { return MatrixView<T>{data.data(), rows, cols, cols}; }
    operator MatrixView<T>() const noexcept { return view(); }
};

using MatrixF32 = Matrix<float>;
using MatrixF64 = Matrix<double>;
using ViewF32 = MatrixView<float>;
using ViewF64 = MatrixView<double>;
// Category codes of categorical columns (-1 for a missing cell).
using CodesView = MatrixView<std::int32_t>;

}  // namespace morvanta
