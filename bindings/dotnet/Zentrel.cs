// Zentrel for .NET: add this file to the host's project.
//
// The seven functions of zentrel.dll keep the names and signatures that
// existing hosts declare for themselves; the extended API of zentrel_ext.dll
// comes as .NET types: EstimateTile returns a Tile, or null for no repeat,
// ExtractTile writes the tile itself and returns what it wrote, FindQuad
// suggests the corners to rectify, and
// a call the library refuses throws a ZentrelException with its status and
// the library's own error line. TraceLine receives the extended calls' trace
// lines.
//
// Ship both DLLs of the process's architecture beside the program, or take
// them from the NuGet package (runtimes/win-x86/native, runtimes/win-x64/native).
// On Windows they are two libraries, each with a state of its own: the seven
// trace to standard output as they always have, and TraceLine and the
// exceptions concern the extended calls alone. Elsewhere both names map to one
// library (libzentrel.so), whose seven trace to TraceLine as well.
//
// Paths are passed in the system's narrow encoding, as the C API takes them:
// the ANSI code page on Windows, where a path it cannot represent throws an
// ArgumentException rather than reach the library as another file's name.
using System;
using System.Collections.Generic;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

public static class Zentrel
{
    /// <summary>The status codes of the extended calls (zentrel_ext.h).</summary>
    public enum Status
    {
        Ok = 0,
        /// <summary>A null or malformed argument.</summary>
        Argument = -1,
        /// <summary>The image is missing, unreadable, or not an image.</summary>
        Unreadable = -2,
        /// <summary>The work stopped on an error inside the library.</summary>
        Internal = -3,
        /// <summary>The tile cannot be written where asked.</summary>
        Output = -4,
        /// <summary>No tile: the image shows no repeat, or the tile given does not fit it.</summary>
        NoRepeat = -5,
        /// <summary>The tile is too large to resample.</summary>
        TooLarge = -6,
    }

    /// <summary>How neighbouring tiles are offset.</summary>
    public enum Match
    {
        None = 0,
        /// <summary>Side by side in rows and columns.</summary>
        Straight = 1,
        /// <summary>Each column dropped by half a tile.</summary>
        HalfDrop = 2,
        /// <summary>Each row shifted by half a tile.</summary>
        HalfBrick = 3,
        /// <summary>Any other lattice; the vectors describe it.</summary>
        Other = 4,
    }

    /// <summary>Which neighbours of the unit are its mirror images.</summary>
    public enum Mirror
    {
        None = 0,
        /// <summary>Left and right: the unit flips across its vertical edges.</summary>
        Horizontal = 1,
        /// <summary>Above and below: the unit flips across its horizontal edges.</summary>
        Vertical = 2,
        /// <summary>Both.</summary>
        Both = 3,
    }

    /// <summary>A box in whole input pixels.</summary>
    public struct Box
    {
        public Box(int x, int y, int width, int height)
        {
            X = x;
            Y = y;
            Width = width;
            Height = height;
        }

        public int X { get; }
        public int Y { get; }
        public int Width { get; }
        public int Height { get; }

        public override string ToString() => $"{Width} x {Height} at ({X}, {Y})";
    }

    /// <summary>How ExtractTile makes one tile of the repeats.</summary>
    public enum Combine
    {
        /// <summary>Value by value, the median: ignores a stain or glare on a few repeats.</summary>
        Median = 0,
        /// <summary>Value by value, the mean: the least noise where every repeat is sound.</summary>
        Mean = 1,
        /// <summary>The one repeat nearest the median, as it is.</summary>
        None = 2,
    }

    /// <summary>The file ExtractTile writes.</summary>
    public enum TileFormat
    {
        /// <summary>The format the output's extension names.</summary>
        ByExtension = 0,
        Png = 1,
        Tiff = 2,
        Jpeg = 3,
    }

    /// <summary>A point or a displacement in input pixels, y downwards.</summary>
    public struct Point
    {
        public Point(double x, double y)
        {
            X = x;
            Y = y;
        }

        public double X { get; }
        public double Y { get; }

        public override string ToString() => $"({X}, {Y})";
    }

    /// <summary>The repeat unit of a pattern, in input pixels.</summary>
    public struct Tile
    {
        // Kept whole, so that ExtractTile hands the library back exactly
        // what it estimated.
        internal readonly ZentrelTile native;

        internal Tile(ZentrelTile native)
        {
            this.native = native;
        }

        public Match Match => (Match)native.match;
        /// <summary>The tile as a designer states it: the repeat's width.</summary>
        public double Width => native.width;
        public double Height => native.height;
        /// <summary>The shorter of the two lattice vectors that span the pattern.</summary>
        public Point VectorA => native.vector_a.ToPoint();
        /// <summary>The other one; every repeat is a whole combination of the two.</summary>
        public Point VectorB => native.vector_b.ToPoint();
        /// <summary>The top-left corner of one whole tile inside the image.</summary>
        public Point Origin => native.origin.ToPoint();
        /// <summary>0 to 1: how well the image agrees with itself shifted by the vectors.</summary>
        public double Confidence => native.confidence;
        /// <summary>The unit: Width and Height, halved along each mirrored axis.</summary>
        public double UnitWidth => native.unit_width;
        public double UnitHeight => native.unit_height;
        public Mirror Mirror => (Mirror)native.mirror;
        /// <summary>Where the image agrees with itself under the lattice.</summary>
        public Box Region => new Box(native.region_x, native.region_y, native.region_width,
            native.region_height);

        public override string ToString() =>
            $"{Width:0.##} x {Height:0.##} {Match}, confidence {Confidence:0.00}";
    }

    /// <summary>The dominant quadrilateral of a photo, in input pixels.</summary>
    public struct Quad
    {
        readonly ZentrelQuad native;

        internal Quad(ZentrelQuad native)
        {
            this.native = native;
        }

        /// <summary>
        /// Top-left, top-right, bottom-right, bottom-left: the order
        /// SavePerspectiveImage maps them. A copy.
        /// </summary>
        public Point[] Corners => Array.ConvertAll(native.corners, corner => corner.ToPoint());
        /// <summary>0 to 1: how clearly its four sides stand out as edges.</summary>
        public double Confidence => native.confidence;

        public override string ToString() =>
            string.Join(" ", Corners) + $", confidence {Confidence:0.00}";
    }

    /// <summary>How ExtractTile makes and writes the tile; the defaults as set here.</summary>
    public sealed class ExportOptions
    {
        public Combine Combine { get; set; } = Combine.Median;
        /// <summary>Divide out uneven lighting, measured on the repeats, first.</summary>
        public bool Flatten { get; set; }
        /// <summary>Must agree with the output's extension unless ByExtension.</summary>
        public TileFormat Format { get; set; } = TileFormat.ByExtension;
        /// <summary>Above 0: the resolution in pixels per inch; 0: the input's own, where known.</summary>
        public double Dpi { get; set; }
    }

    /// <summary>What ExtractTile wrote.</summary>
    public struct ExportResult
    {
        readonly ZentrelExportResult native;

        internal ExportResult(ZentrelExportResult native)
        {
            this.native = native;
        }

        /// <summary>The tile's size in whole pixels.</summary>
        public int Width => native.width;
        public int Height => native.height;
        /// <summary>How copies of the tile are offset.</summary>
        public Match Match => (Match)native.match;
        /// <summary>How many repeats were combined.</summary>
        public int Repeats => native.repeats;
        /// <summary>The format written.</summary>
        public TileFormat Format => (TileFormat)native.format;
        /// <summary>True when the resolution, and so the printed size, is known.</summary>
        public bool Physical => native.physical != 0;
        /// <summary>True when the resolution was written into the file too.</summary>
        public bool Recorded => native.recorded != 0;
        /// <summary>1.0 for seams no one can find; higher for visible ones.</summary>
        public double SeamScore => native.seam_score;
        public double DpiX => native.dpi_x;
        public double DpiY => native.dpi_y;
        public double WidthMm => native.width_mm;
        public double HeightMm => native.height_mm;
        public double WidthIn => native.width_in;
        public double HeightIn => native.height_in;

        public override string ToString() => $"{Width} x {Height} {Match}, {Repeats} repeats";
    }

    /// <summary>One trace line, without its newline.</summary>
    public sealed class TraceLineEventArgs : EventArgs
    {
        internal TraceLineEventArgs(string line)
        {
            Line = line;
        }

        public string Line { get; }
    }

    // ---------------------------------------------------------- the seven --

    public static void ShowRepeatPoints(string path)
    {
        Enter();
        Native.ShowRepeatPoints(path);
        Leave();
    }

    /// <summary>
    /// Saves the rectified quadrilateral beside the input; <paramref name="savePath"/>
    /// holds the input's folder on entry and the output path on return. Give
    /// it room for the joined path plus 6 characters (205 always suffice).
    /// </summary>
    public static void SavePerspectiveImage(int x1, int x2, int x3, int x4, int y1, int y2, int y3,
        int y4, StringBuilder savePath, string imageName, string imageExt)
    {
        Enter();
        Native.SavePerspectiveImage(x1, x2, x3, x4, y1, y2, y3, y4, savePath, imageName, imageExt);
        Leave();
    }

    public static int ReturnX() => Get(Native.ReturnX);
    public static int ReturnY() => Get(Native.ReturnY);
    public static int ReturnW() => Get(Native.ReturnW);
    public static int ReturnH() => Get(Native.ReturnH);

    /// <summary>The last rectification's output path; null before the first.</summary>
    public static string ReturnPath()
    {
        Enter();
        // The library owns the buffer: read, never freed.
        IntPtr path = Native.ReturnPath();
        return path == IntPtr.Zero ? null : Marshal.PtrToStringUni(path);
    }

    // ------------------------------------------------------ extended API --

    /// <summary>
    /// The repeat unit of the image at <paramref name="path"/>; null when the
    /// image does not repeat.
    /// </summary>
    /// <exception cref="ZentrelException">The image could not be read or analysed.</exception>
    public static Tile? EstimateTile(string path)
    {
        if (path == null) throw new ArgumentNullException(nameof(path));
        Enter();
        var result = new ZentrelTile { size = (uint)Marshal.SizeOf(typeof(ZentrelTile)) };
        Check(Native.zentrel_estimate_tile(path, ref result));
        return result.found != 0 ? new Tile(result) : (Tile?)null;
    }

    /// <summary>
    /// The quadrilateral to suggest for SavePerspectiveImage (a page, a
    /// painting, a sheet of fabric); null when the image shows none.
    /// </summary>
    /// <exception cref="ZentrelException">The image could not be read or searched.</exception>
    public static Quad? FindQuad(string path)
    {
        if (path == null) throw new ArgumentNullException(nameof(path));
        Enter();
        var result = new ZentrelQuad
        {
            size = (uint)Marshal.SizeOf(typeof(ZentrelQuad)),
            corners = new ZentrelPoint[4],
        };
        Check(Native.zentrel_find_quad(path, ref result));
        return result.found != 0 ? new Quad(result) : (Quad?)null;
    }

    /// <summary>
    /// Writes the tile of the image at <paramref name="path"/> to
    /// <paramref name="output"/>: the one image that, repeated with its match,
    /// reprints the pattern. <paramref name="tile"/> is a repeat unit from
    /// EstimateTile, or null to estimate it here.
    /// </summary>
    /// <exception cref="ZentrelException">Nothing was written; the status says why.</exception>
    public static ExportResult ExtractTile(string path, string output, Tile? tile = null,
        ExportOptions options = null)
    {
        if (path == null) throw new ArgumentNullException(nameof(path));
        if (output == null) throw new ArgumentNullException(nameof(output));
        // One-element arrays: passed as a pointer to the struct, or null.
        ZentrelTile[] given = tile.HasValue ? new[] { tile.Value.native } : null;
        ZentrelExportOptions[] how = null;
        if (options != null)
        {
            how = new[]
            {
                new ZentrelExportOptions
                {
                    size = (uint)Marshal.SizeOf(typeof(ZentrelExportOptions)),
                    combine = (int)options.Combine,
                    flatten = options.Flatten ? 1 : 0,
                    format = (int)options.Format,
                    dpi = options.Dpi,
                },
            };
        }
        Enter();
        var result = new ZentrelExportResult { size = (uint)Marshal.SizeOf(typeof(ZentrelExportResult)) };
        Check(Native.zentrel_extract_tile(path, given, output, how, ref result));
        return new ExportResult(result);
    }

    /// <summary>
    /// Four corners in the order SavePerspectiveImage maps them: top-left,
    /// top-right, bottom-right, bottom-left.
    /// </summary>
    public static Point[] OrderCorners(IList<Point> corners)
    {
        if (corners == null) throw new ArgumentNullException(nameof(corners));
        if (corners.Count != 4) throw new ArgumentException("four corners are needed", nameof(corners));
        var native = new ZentrelPoint[4];
        for (int k = 0; k < 4; k++) native[k] = new ZentrelPoint(corners[k]);
        Enter();
        Native.zentrel_order_corners(native);
        return Array.ConvertAll(native, point => point.ToPoint());
    }

    /// <summary>The loaded library's version, "MAJOR.MINOR.PATCH".</summary>
    public static string Version
    {
        get
        {
            Enter();
            return Marshal.PtrToStringAnsi(Native.zentrel_version());
        }
    }

    /// <summary>
    /// Every trace line of the extended calls, instead of standard output,
    /// for as long as a handler is attached; raised on the calling thread,
    /// during the call. A handler must not call the library (that throws an
    /// InvalidOperationException); an exception it throws is rethrown by the
    /// call that traced the line, once the library has returned.
    /// </summary>
    public static event EventHandler<TraceLineEventArgs> TraceLine
    {
        add
        {
            Enter();
            lock (traceLock)
            {
                bool wasSet = traceHandlers != null;
                traceHandlers += value;
                if (!wasSet && traceHandlers != null) Native.zentrel_set_trace_callback(traceThunk, IntPtr.Zero);
            }
        }
        remove
        {
            Enter();
            lock (traceLock)
            {
                traceHandlers -= value;
                if (traceHandlers == null) Native.zentrel_set_trace_callback(null, IntPtr.Zero);
            }
        }
    }

    // ------------------------------------------------------------ helpers --

    static readonly object traceLock = new object();
    static EventHandler<TraceLineEventArgs> traceHandlers;
    // Held for the process's life: the library calls it until told otherwise,
    // and a collected delegate would leave it calling freed code.
    static readonly TraceFn traceThunk = OnTraceLine;

    [ThreadStatic] static bool insideTraceHandler;
    [ThreadStatic] static ExceptionDispatchInfo handlerFailure;

    static void OnTraceLine(IntPtr line, IntPtr user)
    {
        // Nothing may unwind into the library: a handler's exception waits
        // for the call to return (Leave).
        try
        {
            EventHandler<TraceLineEventArgs> handlers = Volatile.Read(ref traceHandlers);
            if (handlers == null) return;
            var args = new TraceLineEventArgs(Marshal.PtrToStringAnsi(line));
            insideTraceHandler = true;
            try
            {
                handlers(null, args);
            }
            finally
            {
                insideTraceHandler = false;
            }
        }
        catch (Exception error)
        {
            if (handlerFailure == null) handlerFailure = ExceptionDispatchInfo.Capture(error);
        }
    }

    // The library holds its lock while a handler runs: a call from there
    // would wait for itself.
    static void Enter()
    {
        if (insideTraceHandler)
        {
            throw new InvalidOperationException("a TraceLine handler must not call the Zentrel library");
        }
    }

    static void Leave()
    {
        ExceptionDispatchInfo failure = handlerFailure;
        handlerFailure = null;
        failure?.Throw();
    }

    static int Get(Func<int> getter)
    {
        Enter();
        return getter();
    }

    static void Check(int status)
    {
        Leave();
        if (status != (int)Status.Ok)
        {
            // The calling thread's own last error: read on the same thread, at once.
            throw new ZentrelException((Status)status, Marshal.PtrToStringAnsi(Native.zentrel_last_error()));
        }
    }

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    delegate void TraceFn(IntPtr line, IntPtr user);

    // The structs of zentrel_ext.h, field for field under the C names; the
    // structs hold no pointers, so the layout is one at 32 and at 64 bits.
    [StructLayout(LayoutKind.Sequential)]
    internal struct ZentrelPoint
    {
        public double x;
        public double y;

        public ZentrelPoint(Point point)
        {
            x = point.X;
            y = point.Y;
        }

        public Point ToPoint() => new Point(x, y);
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct ZentrelTile
    {
        public uint size;
        public int found;
        public int match;
        public double width;
        public double height;
        public ZentrelPoint vector_a;
        public ZentrelPoint vector_b;
        public ZentrelPoint origin;
        public double confidence;
        public double unit_width;
        public double unit_height;
        public int mirror;
        public int region_x;
        public int region_y;
        public int region_width;
        public int region_height;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct ZentrelQuad
    {
        public uint size;
        public int found;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 4)]
        public ZentrelPoint[] corners;
        public double confidence;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct ZentrelExportOptions
    {
        public uint size;
        public int combine;
        public int flatten;
        public int format;
        public double dpi;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct ZentrelExportResult
    {
        public uint size;
        public int width;
        public int height;
        public int match;
        public int repeats;
        public int format;
        public int physical;
        public int recorded;
        public double seam_score;
        public double dpi_x;
        public double dpi_y;
        public double width_mm;
        public double height_mm;
        public double width_in;
        public double height_in;
    }

    static class Native
    {
        const string Seven = "zentrel.dll";
        const string Extended = "zentrel_ext.dll";

        [DllImport(Seven, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
            BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern void ShowRepeatPoints(string path);

        [DllImport(Seven, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
            BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern void SavePerspectiveImage(int x1, int x2, int x3, int x4, int y1, int y2,
            int y3, int y4, StringBuilder savePath, string imageName, string imageExt);

        [DllImport(Seven, CallingConvention = CallingConvention.Cdecl)] public static extern int ReturnX();
        [DllImport(Seven, CallingConvention = CallingConvention.Cdecl)] public static extern int ReturnY();
        [DllImport(Seven, CallingConvention = CallingConvention.Cdecl)] public static extern int ReturnW();
        [DllImport(Seven, CallingConvention = CallingConvention.Cdecl)] public static extern int ReturnH();
        [DllImport(Seven, CallingConvention = CallingConvention.Cdecl)] public static extern IntPtr ReturnPath();

        [DllImport(Extended, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
            BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int zentrel_estimate_tile(string path, ref ZentrelTile result);

        [DllImport(Extended, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
            BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int zentrel_extract_tile(string path, [In] ZentrelTile[] tile, string output,
            [In] ZentrelExportOptions[] options, ref ZentrelExportResult result);

        [DllImport(Extended, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
            BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int zentrel_find_quad(string path, ref ZentrelQuad result);

        [DllImport(Extended, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr zentrel_last_error();

        [DllImport(Extended, CallingConvention = CallingConvention.Cdecl)]
        public static extern void zentrel_set_trace_callback(TraceFn fn, IntPtr user);

        [DllImport(Extended, CallingConvention = CallingConvention.Cdecl)]
        public static extern void zentrel_order_corners([In, Out] ZentrelPoint[] corners);

        [DllImport(Extended, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr zentrel_version();
    }
}

/// <summary>A call that the library refused or could not complete.</summary>
public sealed class ZentrelException : Exception
{
    public ZentrelException(Zentrel.Status status, string message) : base(message)
    {
        Status = status;
    }

    /// <summary>The library's status code.</summary>
    public Zentrel.Status Status { get; }
}
