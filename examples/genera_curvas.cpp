// Writes a synthetic contour image for tolvane: a smooth random terrain of
// Gaussian hills whose contours, one pixel wide, are burnt into a grid of the
// empty marker 10000000.
//
//   genera_curvas BASE LINEAS COLUMNAS NIVELES INTERVALO SEMILLA
//
// writes BASE_c4.raw and BASE_c4.txt and prints the lowest and highest contour and
// the interval, the three answers the program asks for. The terrain spans
// NIVELES intervals above 0; the contours are drawn at every interval strictly
// inside that span, on the pixels at or above the level that touch a lower pixel
// across a side. The same arguments always give the same files.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::int32_t VIDE = 10000000;

struct Colina {
    double ci, cj, rayon, altura;
};

// Uniform in [0, 1) from the fully specified mt19937, so every platform draws
// the same terrain.
double azar(std::mt19937 &g) { return static_cast<double>(g()) / 4294967296.0; }

std::vector<double> terreno(int lineas, int columnas, unsigned semilla)
{
    std::mt19937 g(semilla);
    const double escala = std::max(lineas, columnas);
    std::vector<Colina> colinas(12);
    for (Colina &c : colinas) {
        c.ci = azar(g) * lineas;
        c.cj = azar(g) * columnas;
        c.rayon = escala * (0.08 + 0.25 * azar(g));
        c.altura = (azar(g) < 0.25 ? -0.6 : 1.0) * (0.3 + azar(g));
    }
    const double pendiente_i = azar(g) - 0.5, pendiente_j = azar(g) - 0.5;
    std::vector<double> h(static_cast<std::size_t>(lineas) * columnas);
    for (int i = 0; i < lineas; i++)
        for (int j = 0; j < columnas; j++) {
            double z = 0.4 * (pendiente_i * i + pendiente_j * j) / escala;
            for (const Colina &c : colinas) {
                const double di = (i - c.ci) / c.rayon, dj = (j - c.cj) / c.rayon;
                z += c.altura * std::exp(-(di * di + dj * dj));
            }
            h[static_cast<std::size_t>(i) * columnas + j] = z;
        }
    return h;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "uso: %s BASE LINEAS COLUMNAS NIVELES INTERVALO SEMILLA\n", argv[0]);
        return 2;
    }
    const std::string base = argv[1];
    const int lineas = std::atoi(argv[2]), columnas = std::atoi(argv[3]);
    const int niveles = std::atoi(argv[4]), intervalo = std::atoi(argv[5]);
    const unsigned semilla = static_cast<unsigned>(std::strtoul(argv[6], nullptr, 10));
    if (lineas < 2 || columnas < 2 || niveles < 3 || intervalo < 1) {
        std::fprintf(stderr, "%s: LINEAS y COLUMNAS >= 2, NIVELES >= 3, INTERVALO >= 1\n", argv[0]);
        return 2;
    }

    std::vector<double> h = terreno(lineas, columnas, semilla);
    double bajo = h[0], alto = h[0];
    for (double z : h) {
        bajo = std::min(bajo, z);
        alto = std::max(alto, z);
    }
    // Level index of every pixel: 0 .. niveles - 1.
    std::vector<int> nivel(h.size());
    for (std::size_t n = 0; n < h.size(); n++) {
        const double t = (h[n] - bajo) / (alto - bajo + 1e-12);
        nivel[n] = std::min(niveles - 1, static_cast<int>(t * niveles));
    }

    std::vector<std::int32_t> imagen(h.size(), VIDE);
    int minimo = VIDE, maximo = -VIDE;
    for (int i = 0; i < lineas; i++)
        for (int j = 0; j < columnas; j++) {
            const std::size_t n = static_cast<std::size_t>(i) * columnas + j;
            int mas_bajo = nivel[n];
            if (i > 0) mas_bajo = std::min(mas_bajo, nivel[n - columnas]);
            if (i + 1 < lineas) mas_bajo = std::min(mas_bajo, nivel[n + columnas]);
            if (j > 0) mas_bajo = std::min(mas_bajo, nivel[n - 1]);
            if (j + 1 < columnas) mas_bajo = std::min(mas_bajo, nivel[n + 1]);
            if (mas_bajo < nivel[n]) {
                imagen[n] = nivel[n] * intervalo;
                minimo = std::min(minimo, imagen[n]);
                maximo = std::max(maximo, imagen[n]);
            }
        }

    std::FILE *raw = std::fopen((base + "_c4.raw").c_str(), "wb");
    std::FILE *txt = std::fopen((base + "_c4.txt").c_str(), "w");
    if (raw == nullptr || txt == nullptr) {
        std::fprintf(stderr, "%s: no se puede crear %s_c4.raw o %s_c4.txt\n", argv[0], base.c_str(), base.c_str());
        return 1;
    }
    // The cells are written little-endian whatever the host.
    std::vector<unsigned char> octetos(imagen.size() * 4);
    for (std::size_t n = 0; n < imagen.size(); n++) {
        const auto v = static_cast<std::uint32_t>(imagen[n]);
        for (int b = 0; b < 4; b++)
            octetos[4 * n + b] = static_cast<unsigned char>(v >> (8 * b));
    }
    const bool ok = std::fwrite(octetos.data(), 1, octetos.size(), raw) == octetos.size()
                    && std::fprintf(txt, "%d\n%d\n4\n%d\n%d\n10\n", lineas, columnas, minimo, maximo) > 0;
    if (std::fclose(raw) != 0 || std::fclose(txt) != 0 || !ok) {
        std::fprintf(stderr, "%s: error de escritura en %s\n", argv[0], base.c_str());
        return 1;
    }
    std::printf("%d %d %d\n", intervalo, (niveles - 1) * intervalo, intervalo);
    return 0;
}
