#include "hostile_desktop.h"

#include <filesystem>
#include <fstream>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "harness.h"

namespace x11test {

namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content;
}

std::string entry(const std::string& name, const std::string& more) {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=true\n" + more;
}

}  // namespace

bool writeHostileDesktop(const std::string& folder, int fillers) {
    const fs::path dir(folder);
    const fs::path apps = dir / "applications";
    fs::create_directories(apps);
    // 1-bit grey rows of zeros compress to almost nothing.
    const fs::path hugePng = dir / "huge.png";
    if (run({"/usr/bin/python3", "-c",
             "import struct,sys,zlib\n"
             "w=h=20000\n"
             "def chunk(t,d): return struct.pack('>I',len(d))+t+d+struct.pack('>I',zlib.crc32(t+d))\n"
             "z=zlib.compressobj(9); row=bytes(1+(w+7)//8); data=b''.join(z.compress(row) for _ in range(h))+z.flush()\n"
             "open(sys.argv[1],'wb').write(b'\\x89PNG\\r\\n\\x1a\\n'+chunk(b'IHDR',struct.pack('>IIBBBBB',w,h,1,0,0,0,0))"
             "+chunk(b'IDAT',data)+chunk(b'IEND',b''))\n",
             hugePng.string()},
            {}, 60) != 0) {
        return false;
    }
    write(dir / "huge.xpm", "/* XPM */\nstatic char *huge[] = {\n\"20000 20000 1 1\",\n\". c #ff0000\",\n\".\"};\n");
    std::string bomb = "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' width='96' height='96'>"
                       "<defs><g id='a0'><circle cx='48' cy='48' r='40' fill='red' opacity='0.5'/></g>";
    for (int level = 1; level <= 7; ++level) {
        bomb += "<g id='a" + std::to_string(level) + "'>";
        for (int i = 0; i < 6; ++i) bomb += "<use xlink:href='#a" + std::to_string(level - 1) + "'/>";
        bomb += "</g>";
    }
    write(dir / "bomb.svg", bomb + "</defs><use xlink:href='#a7'/></svg>");
    GdkPixbuf* fine = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 16, 16);
    gdk_pixbuf_fill(fine, 0x00c000ff);
    const bool saved = gdk_pixbuf_save(fine, (dir / "fine.png").c_str(), "png", nullptr, nullptr);
    g_object_unref(fine);
    if (!saved) return false;
    write(apps / "huge-png.desktop", entry("HugePng", "Icon=" + hugePng.string() + "\n"));
    write(apps / "huge-xpm.desktop", entry("HugeXpm", "Icon=" + (dir / "huge.xpm").string() + "\n"));
    write(apps / "bomb.desktop", entry("Bomb", "Icon=" + (dir / "bomb.svg").string() + "\n"));
    write(apps / "fine.desktop", entry("Fine", "Icon=" + (dir / "fine.png").string() + "\n"));
    write(apps / "plain.desktop", entry("Plain", ""));
    write(apps / "big-name.desktop", entry(std::string(50 << 20, 'N'), ""));
    const std::string comment = "Comment=" + std::string(127 << 10, 'c') + "\n";
    for (int i = 0; i < fillers; ++i) {
        write(apps / "filler" / (std::to_string(i) + ".desktop"), entry("Filler " + std::to_string(i), comment));
    }
    return true;
}

}  // namespace x11test
