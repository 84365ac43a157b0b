// A C# host of the library, run by scripts/test-csharp. The declarations it
// calls are not here: the script takes them from docs/windows.md as they
// stand, so the ones users copy are the ones that ran.
//
//   mono zentrel_host.exe TILED_IMAGE PHOTO SCRATCH_FOLDER
//
// TILED_IMAGE is analysed for its repeat; PHOTO (tests/data/left01.jpg) is
// rectified in SCRATCH_FOLDER. Prints one line per check, then
// "getters X Y W H" for the script to hold against the library's trace, and
// exits 1 if any check failed.
using System;
using System.IO;
using System.Text;

static class ZentrelHost
{
    static int failed;

    static void Check(bool ok, string what)
    {
        Console.WriteLine((ok ? "ok    " : "FAIL  ") + what);
        if (!ok) failed++;
    }

    static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.Error.WriteLine("usage: zentrel_host.exe TILED_IMAGE PHOTO SCRATCH_FOLDER");
            return 2;
        }
        string tiled = args[0], photo = args[1];

        Check(Zentrel.ReturnPath() == null, "ReturnPath is null before any rectification");

        Zentrel.ShowRepeatPoints(tiled);
        int x = Zentrel.ReturnX(), y = Zentrel.ReturnY(), w = Zentrel.ReturnW(), h = Zentrel.ReturnH();
        Check(w > 0 && h > 0 && x >= 0 && y >= 0, $"repeat rectangle {x} {y} {w} {h} found");

        // A folder name outside ASCII: savePath comes back through the narrow
        // buffer, ReturnPath as UTF-16; both must name the same file.
        string folder = Path.Combine(args[2], "scans-\u00e9t\u00e9") + Path.DirectorySeparatorChar;
        Directory.CreateDirectory(folder);
        File.Copy(photo, folder + "page.jpg", true);
        string expected = folder + "page_pers.jpg";
        var savePath = new StringBuilder(folder, 512);
        Zentrel.SavePerspectiveImage(214, 550, 544, 221, 63, 51, 302, 284, savePath, "page", "jpg");
        Check(savePath.ToString() == expected, "savePath becomes " + savePath);
        Check(Zentrel.ReturnPath() == expected, "ReturnPath reads back " + Zentrel.ReturnPath());
        Check(File.Exists(expected) && new FileInfo(expected).Length > 0, "the rectified image is written");

        // Refused calls: one error line each in the trace, no exception, and
        // every result left as the last good call set it.
        var missing = new StringBuilder(folder, 512);
        Zentrel.SavePerspectiveImage(0, 10, 10, 0, 0, 0, 10, 10, missing, "missing", "png");
        Check(missing.ToString() == folder, "a refused rectification leaves savePath alone");
        Check(Zentrel.ReturnPath() == expected, "and ReturnPath too");
        Zentrel.ShowRepeatPoints(folder + "missing.png");
        Zentrel.ShowRepeatPoints(null);
        Check(Zentrel.ReturnX() == x && Zentrel.ReturnY() == y && Zentrel.ReturnW() == w &&
              Zentrel.ReturnH() == h, "refused repeat analyses keep the rectangle");

        Console.WriteLine($"getters {x} {y} {w} {h}");
        return failed == 0 ? 0 : 1;
    }
}
