// Reads a board and records it through the library's C interface with P/Invoke.
//   mcs Kavro.cs && mono Kavro.exe [--emulate]
// The library is found by its name (libKAVRO_USB_DLL.so on Linux, KAVRO_USB_DLL.dll on Windows);
// every function uses the platform's C calling convention (Cdecl).
using System;
using System.Runtime.InteropServices;

static class Kavro {
  const string Lib = "KAVRO_USB_DLL";

  [StructLayout(LayoutKind.Sequential)]
  public struct OpenOptions {
    public uint size; public int link;
    public ulong first_delay_us, max_delay_us, give_up_after_us;
    public uint max_attempts; public int reconnect, calibrated_loads, reserved;
    public IntPtr emulator, on_event, user;
  }

  [StructLayout(LayoutKind.Sequential)]
  public struct Reading {
    public uint size, channel; public int status, state;
    public long counts; public double load; public ulong monotonic_us; public long utc_us;
  }

  [StructLayout(LayoutKind.Sequential)]
  public struct Summary {
    public uint size; public int running, status, stopped;
    public ulong due_times, readings, errors, missed, gaps, gap_us, elapsed_us, overflowed,
        events_lost, buffered;
  }

  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern IntPtr kavro_status_name(int status);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern int kavro_last_error(IntPtr board, byte[] text, UIntPtr length);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern void kavro_open_options_init(ref OpenOptions o);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern int kavro_open(string serial, ref OpenOptions o, out IntPtr board);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern void kavro_release(IntPtr board);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern int kavro_read(IntPtr board, uint channel, ref Reading r);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern int kavro_record_start(IntPtr board, uint[] channels, UIntPtr n, ulong interval_us);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern int kavro_record_fetch(IntPtr board, UIntPtr max, uint[] channels, double[] loads, long[] counts, int[] states, ulong[] monotonic_us, out UIntPtr got);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern int kavro_record_stop(IntPtr board, ref Summary s);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern int kavro_emulator_new(int real_time, out IntPtr emulator);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern void kavro_emulator_free(IntPtr emulator);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] static extern int kavro_emulator_schedule_unplug(IntPtr emulator, string serial, ulong after_us, ulong for_us);

  static void Check(int status, IntPtr board) {
    if (status == 0) return;
    var text = new byte[256];
    kavro_last_error(board, text, (UIntPtr)text.Length);
    throw new Exception(Marshal.PtrToStringAnsi(kavro_status_name(status)) + ": " +
                        System.Text.Encoding.UTF8.GetString(text).TrimEnd('\0'));
  }

  static int Main(string[] args) {
    var options = new OpenOptions();
    kavro_open_options_init(ref options);
    IntPtr emulator = IntPtr.Zero, board;
    if (args.Length > 0 && args[0] == "--emulate") {
      Check(kavro_emulator_new(0, out emulator), IntPtr.Zero);  // virtual time
      kavro_emulator_schedule_unplug(emulator, "KAVRO-0001", 500000, 400000);
      options.link = 3;
      options.emulator = emulator;
    }
    Check(kavro_open("KAVRO-0001", ref options, out board), IntPtr.Zero);
    var reading = new Reading { size = (uint)Marshal.SizeOf(typeof(Reading)) };
    Check(kavro_read(board, 0, ref reading), board);
    Console.WriteLine("reading: {0} counts, load {1:F3}", reading.counts, reading.load);

    Check(kavro_record_start(board, new uint[] { 0 }, (UIntPtr)1, 100000), board);
    var loads = new double[64];
    var states = new int[64];
    int rows = 0, failed = 0;
    while (rows < 20) {
      UIntPtr got;
      Check(kavro_record_fetch(board, (UIntPtr)64, null, loads, null, states, null, out got), board);
      for (int i = 0; i < (int)got; ++i, ++rows) if (states[i] == 6) ++failed;
    }
    var summary = new Summary { size = (uint)Marshal.SizeOf(typeof(Summary)) };
    Check(kavro_record_stop(board, ref summary), board);
    Console.WriteLine("{0} rows fetched, {1} without a reading, {2} gaps", rows, failed, summary.gaps);
    kavro_release(board);
    kavro_emulator_free(emulator);
    return 0;
  }
}
