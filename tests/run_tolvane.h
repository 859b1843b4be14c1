// Runs the built tolvane like an operator would: in a fresh temporary folder, with
// the answers on standard input, capturing the console and the exit status.
#ifndef RUN_TOLVANE_H
#define RUN_TOLVANE_H

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace prueba {

namespace fs = std::filesystem;

// A temporary folder, removed with everything in it when the object goes.
class Carpeta {
public:
    Carpeta()
    {
        std::string modelo = (fs::temp_directory_path() / "tolvane-XXXXXX").string();
        std::vector<char> nombre(modelo.begin(), modelo.end());
        nombre.push_back('\0');
        raiz_ = mkdtemp(nombre.data());
    }
    ~Carpeta()
    {
        if (std::getenv("TOLVANE_KEEP") == nullptr) {
            std::error_code e;
            fs::remove_all(raiz_, e);
        }
    }
    Carpeta(const Carpeta &) = delete;
    Carpeta &operator=(const Carpeta &) = delete;

    const fs::path &raiz() const { return raiz_; }
    // Path of a file of the run's folder images/NAME/ (created on demand).
    fs::path imagen(const std::string &carpeta, const std::string &archivo) const
    {
        fs::create_directories(raiz_ / "images" / carpeta);
        return raiz_ / "images" / carpeta / archivo;
    }

private:
    fs::path raiz_;
};

inline void escribe(const fs::path &ruta, const std::string &contenido)
{
    std::ofstream f(ruta, std::ios::binary);
    f << contenido;
}

inline std::string lee(const fs::path &ruta)
{
    std::ifstream f(ruta, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Little-endian bytes of a grid of int32 cells, row after row.
inline std::string celdas(const std::vector<std::int32_t> &valores)
{
    std::string s;
    for (std::int32_t v : valores)
        for (int b = 0; b < 4; b++)
            s.push_back(static_cast<char>((static_cast<std::uint32_t>(v) >> (8 * b)) & 0xff));
    return s;
}

inline std::vector<std::int32_t> enteros(const std::string &bytes, int tamano)
{
    std::vector<std::int32_t> v(bytes.size() / tamano);
    for (std::size_t n = 0; n < v.size(); n++) {
        std::uint32_t x = 0;
        for (int b = tamano - 1; b >= 0; b--)
            x = (x << 8) | static_cast<unsigned char>(bytes[n * tamano + b]);
        v[n] = static_cast<std::int32_t>(x);
    }
    return v;
}

struct Resultado {
    int estado = -1;     // exit status
    std::string salida;  // the whole console transcript (standard output)
    std::string errores; // standard error
};

// Runs tolvane (or `programa`) in the folder with the given answers; `antes` is
// shell text run first in the same shell (for example "ulimit -v 200000;").
inline Resultado ejecuta(const Carpeta &carpeta, const std::string &respuestas, const std::string &antes = "",
                         const std::string &programa = TOLVANE_BIN)
{
    const fs::path entrada = carpeta.raiz() / ".respuestas";
    const fs::path salida = carpeta.raiz() / ".salida";
    const fs::path errores = carpeta.raiz() / ".errores";
    escribe(entrada, respuestas);
    const std::string orden = "cd '" + carpeta.raiz().string() + "' && " + antes + " '" + programa + "' < '"
                              + entrada.string() + "' > '" + salida.string() + "' 2> '" + errores.string() + "'";
    const int s = std::system(orden.c_str());
    Resultado r;
    r.estado = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
    r.salida = lee(salida);
    r.errores = lee(errores);
    return r;
}

} // namespace prueba

#endif
