// The .NET binding (bindings/dotnet/Zentrel.cs) against the library, run by
// scripts/test-csharp with Mono:
//
//   mono zentrel_binding_test.exe SCRATCH_FOLDER VERSION   the checks below
//   mono zentrel_binding_test.exe --layout                 the binding's structs
//
// --layout prints the marshalled size of each struct the binding declares for
// the C header, and each field's offset, in the form of the C compiler's
// tests/windows/struct_layout.c, for the scripts to compare.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;

static class ZentrelBindingTest
{
    static int failed;

    static void Check(bool ok, string what)
    {
        Console.WriteLine((ok ? "ok    " : "FAIL  ") + what);
        if (!ok) failed++;
    }

    // The exception a call throws, or null.
    static Exception Thrown(Action call)
    {
        try
        {
            call();
            return null;
        }
        catch (Exception error)
        {
            return error;
        }
    }

    static void PrintLayout()
    {
        var structs = typeof(Zentrel).GetNestedTypes(BindingFlags.NonPublic | BindingFlags.Public)
            .Where(type => type.IsValueType && type.Name.StartsWith("Zentrel", StringComparison.Ordinal));
        foreach (Type type in structs)
        {
            Console.WriteLine($"{type.Name} size {Marshal.SizeOf(type)}");
            foreach (FieldInfo field in type.GetFields(BindingFlags.Instance | BindingFlags.Public | BindingFlags.NonPublic))
            {
                // A pointer-sized field would make the 32-bit layout differ from
                // the 64-bit one measured here; it shows as a line C never prints.
                // An array is fixed only when marshalled in place (ByValArray).
                var marshalAs = field.GetCustomAttribute<MarshalAsAttribute>();
                bool inPlaceArray = field.FieldType.IsArray && marshalAs != null &&
                    marshalAs.Value == UnmanagedType.ByValArray;
                bool fixedSize = field.FieldType.IsPrimitive && field.FieldType != typeof(IntPtr) &&
                    field.FieldType != typeof(UIntPtr) || field.FieldType.IsValueType && !field.FieldType.IsPrimitive ||
                    inPlaceArray;
                Console.WriteLine(fixedSize
                    ? $"{type.Name}.{field.Name} offset {Marshal.OffsetOf(type, field.Name)}"
                    : $"{type.Name}.{field.Name} of pointer size");
            }
        }
    }

    // A grey image as binary PGM, which the library's decoder reads: a
    // 40 x 30 tile of noise repeated, or noise that never repeats.
    static string WritePgm(string path, bool repeating)
    {
        const int width = 320, height = 240;
        var random = new Random(7);
        var tile = new byte[40 * 30];
        random.NextBytes(tile);
        var pixels = new byte[width * height];
        if (repeating)
        {
            for (int y = 0; y < height; y++)
                for (int x = 0; x < width; x++) pixels[y * width + x] = tile[(y % 30) * 40 + x % 40];
        }
        else
        {
            random.NextBytes(pixels);
        }
        using (var file = File.Create(path))
        {
            byte[] header = System.Text.Encoding.ASCII.GetBytes($"P5\n{width} {height}\n255\n");
            file.Write(header, 0, header.Length);
            file.Write(pixels, 0, pixels.Length);
        }
        return path;
    }

    // A light page on a dark ground, corners (80, 60) to (240, 180).
    static string WritePage(string path)
    {
        const int width = 320, height = 240;
        var pixels = new byte[width * height];
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++)
                pixels[y * width + x] = (byte)(x >= 80 && x < 240 && y >= 60 && y < 180 ? 220 : 30);
        using (var file = File.Create(path))
        {
            byte[] header = System.Text.Encoding.ASCII.GetBytes($"P5\n{width} {height}\n255\n");
            file.Write(header, 0, header.Length);
            file.Write(pixels, 0, pixels.Length);
        }
        return path;
    }

    static int Main(string[] args)
    {
        if (args.Length == 1 && args[0] == "--layout")
        {
            PrintLayout();
            return 0;
        }
        if (args.Length != 2)
        {
            Console.Error.WriteLine("usage: zentrel_binding_test.exe SCRATCH_FOLDER VERSION | --layout");
            return 2;
        }
        string scratch = args[0];
        Check(Zentrel.Version == args[1], "Version is " + Zentrel.Version);

        string pattern = WritePgm(Path.Combine(scratch, "pattern.pgm"), true);
        Zentrel.Tile? tile = Zentrel.EstimateTile(pattern);
        Check(tile.HasValue && tile.Value.Match == Zentrel.Match.Straight &&
              Math.Abs(tile.Value.Width - 40) < 0.5 && Math.Abs(tile.Value.Height - 30) < 0.5 &&
              tile.Value.Confidence > 0.9, "EstimateTile finds the 40 x 30 tile: " + tile);
        Check(Zentrel.EstimateTile(WritePgm(Path.Combine(scratch, "noise.pgm"), false)) == null,
              "EstimateTile gives null for an image without a repeat");

        // Refusals: the status and the library's own line, which TraceLine
        // received too; nothing once the handler is gone.
        var lines = new List<string>();
        EventHandler<Zentrel.TraceLineEventArgs> collect = (sender, e) => lines.Add(e.Line);
        Zentrel.TraceLine += collect;
        // The library keeps calling the delegate it was given; a collection
        // in between must not free it.
        GC.Collect();
        GC.WaitForPendingFinalizers();
        GC.Collect();
        string missing = Path.Combine(scratch, "missing.png");
        var refused = Thrown(() => Zentrel.EstimateTile(missing)) as ZentrelException;
        Check(refused != null && refused.Status == Zentrel.Status.Unreadable &&
              refused.Message == "Could not read image file: " + missing,
              "a missing file throws ZentrelException(Unreadable): " + refused?.Message);
        Check(lines.SequenceEqual(new[] { refused?.Message }), "TraceLine received that line alone");
        Zentrel.TraceLine -= collect;
        Thrown(() => Zentrel.EstimateTile(missing));
        Check(lines.Count == 1, "a detached handler receives nothing");
        Check(Thrown(() => Zentrel.EstimateTile(null)) is ArgumentNullException,
              "a null path throws ArgumentNullException");

        // A handler's own failure, and a handler that calls the library,
        // surface from the call that traced, once the library has returned.
        var handlers = new[]
        {
            Tuple.Create<string, EventHandler<Zentrel.TraceLineEventArgs>, Type>("throws",
                (sender, e) => { throw new FormatException("handler"); }, typeof(FormatException)),
            Tuple.Create<string, EventHandler<Zentrel.TraceLineEventArgs>, Type>("calls the library",
                (sender, e) => GC.KeepAlive(Zentrel.Version), typeof(InvalidOperationException)),
        };
        foreach (var handler in handlers)
        {
            Zentrel.TraceLine += handler.Item2;
            Exception error = Thrown(() => Zentrel.EstimateTile(missing));
            Zentrel.TraceLine -= handler.Item2;
            Check(error != null && error.GetType() == handler.Item3,
                  $"a handler that {handler.Item1} makes the call throw {error?.GetType().Name}");
        }
        tile = Zentrel.EstimateTile(pattern);
        Check(tile.HasValue, "and the next call works");

        // ExtractTile: the estimated tile handed back, options as a pointer
        // or null, and a refusal's status.
        string output = Path.Combine(scratch, "tile.png");
        Zentrel.ExportResult exported = Zentrel.ExtractTile(pattern, output, tile,
            new Zentrel.ExportOptions { Combine = Zentrel.Combine.Mean, Dpi = 254 });
        Check(exported.Width == 40 && exported.Height == 30 && exported.Match == Zentrel.Match.Straight &&
              exported.Physical && Math.Abs(exported.WidthMm - 4.0) < 1e-9 && File.Exists(output),
              $"ExtractTile writes the 40 x 30 tile at 254 dpi: {exported}, {exported.WidthMm} mm");
        var noRepeat = Thrown(() => Zentrel.ExtractTile(Path.Combine(scratch, "noise.pgm"),
            Path.Combine(scratch, "none.png"))) as ZentrelException;
        Check(noRepeat != null && noRepeat.Status == Zentrel.Status.NoRepeat &&
              !File.Exists(Path.Combine(scratch, "none.png")),
              "ExtractTile of an image without a repeat throws NoRepeat and writes nothing: " +
              noRepeat?.Message);

        // FindQuad: the four corners come back through the in-place array.
        string page = WritePage(Path.Combine(scratch, "page.pgm"));
        Zentrel.Quad? quad = Zentrel.FindQuad(page);
        Check(quad.HasValue && quad.Value.Corners.Length == 4 &&
              Math.Abs(quad.Value.Corners[0].X - 80) < 2 && Math.Abs(quad.Value.Corners[0].Y - 60) < 2 &&
              Math.Abs(quad.Value.Corners[2].X - 240) < 2 && Math.Abs(quad.Value.Corners[2].Y - 180) < 2,
              "FindQuad finds the page: " + quad);
        Check(Zentrel.FindQuad(Path.Combine(scratch, "noise.pgm")) == null,
              "FindQuad gives null for noise");

        Zentrel.Point[] ordered = Zentrel.OrderCorners(new[]
        {
            new Zentrel.Point(100, 50), new Zentrel.Point(0, 0), new Zentrel.Point(0, 50), new Zentrel.Point(100, 0),
        });
        Check(string.Join(" ", ordered) == "(0, 0) (100, 0) (100, 50) (0, 50)",
              "OrderCorners gives " + string.Join(" ", ordered));

        return failed == 0 ? 0 : 1;
    }
}
