// A small console server for the demo distribution site. It behaves as the
// real server does where the launcher looks: its lines go to the console and
// to logs/latest.log, the previous log moved aside; it reads server.properties
// (made with the default port when missing) and listens on server-port; it
// runs only when eula.txt agrees to the licence. It reads commands from its
// console, and saves its world on "stop", on SIGINT and on SIGTERM before it
// exits. "crash" and "oom" make it fail as the real one can, for tests.

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintWriter;
import java.io.Reader;
import java.io.StringWriter;
import java.io.Writer;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.text.SimpleDateFormat;
import java.util.Date;
import java.util.Properties;
import java.util.concurrent.atomic.AtomicBoolean;

public final class Server {
    private static final String VERSION = "1.12.2";
    private static final AtomicBoolean saved = new AtomicBoolean(false);
    private static Writer logFile;

    private static synchronized void log(String level, String text) {
        String line = "[" + new SimpleDateFormat("HH:mm:ss").format(new Date()) + "] [Server thread/" + level
                + "]: " + text;
        System.out.println(line);
        System.out.flush();
        if (logFile == null) return;
        try {
            logFile.write(line + System.lineSeparator());
            logFile.flush();
        } catch (IOException e) {
            logFile = null;
        }
    }

    private static void log(String text) {
        log("INFO", text);
    }

    // The previous log goes aside under its date and a number, as the real
    // server keeps it.
    private static void openLog() {
        try {
            Path logs = Files.createDirectories(Paths.get("logs"));
            Path latest = logs.resolve("latest.log");
            if (Files.exists(latest)) {
                String day = new SimpleDateFormat("yyyy-MM-dd").format(new Date(Files.getLastModifiedTime(latest).toMillis()));
                int n = 1;
                while (Files.exists(logs.resolve(day + "-" + n + ".log"))) n++;
                Files.move(latest, logs.resolve(day + "-" + n + ".log"));
            }
            logFile = Files.newBufferedWriter(latest, StandardCharsets.UTF_8);
        } catch (IOException e) {
            System.out.println("Could not open logs/latest.log: " + e);
        }
    }

    private static synchronized void save(String why) {
        if (!saved.compareAndSet(false, true)) return;
        log("Stopping the server (" + why + ")");
        log("Saving the world");
        try {
            Path world = Paths.get("world");
            Files.createDirectories(world);
            Path level = world.resolve("level.txt");
            int saves = 0;
            if (Files.exists(level)) {
                for (String line : Files.readAllLines(level, StandardCharsets.UTF_8)) {
                    if (line.startsWith("saves=")) saves = Integer.parseInt(line.substring(6).trim());
                }
            }
            String body = "version=" + VERSION + "\nsaves=" + (saves + 1) + "\n";
            Path temp = world.resolve("level.txt.tmp");
            Files.write(temp, body.getBytes(StandardCharsets.UTF_8));
            Files.move(temp, level, java.nio.file.StandardCopyOption.REPLACE_EXISTING,
                       java.nio.file.StandardCopyOption.ATOMIC_MOVE);
            log("Saved");
        } catch (IOException | NumberFormatException e) {
            log("ERROR", "Could not save the world: " + e.getMessage());
        }
    }

    private static Properties load(Path file) throws IOException {
        Properties values = new Properties();
        try (Reader in = Files.newBufferedReader(file, StandardCharsets.ISO_8859_1)) {
            values.load(in);
        }
        return values;
    }

    private static Properties properties() throws IOException {
        Path file = Paths.get("server.properties");
        if (!Files.exists(file)) {
            log("WARN", "server.properties does not exist");
            log("Generating new properties file");
            Files.write(file, ("#Server properties\n#" + new Date() + "\nserver-port=25565\n")
                                  .getBytes(StandardCharsets.ISO_8859_1));
        }
        return load(file);
    }

    private static boolean agreed() throws IOException {
        Path eula = Paths.get("eula.txt");
        if (!Files.exists(eula)) {
            log("WARN", "Failed to load eula.txt");
            Files.write(eula, ("#By changing the setting below to TRUE you are indicating your agreement to the"
                               + " licence at https://127.0.0.1/eula.\n#" + new Date() + "\neula=false\n")
                                  .getBytes(StandardCharsets.ISO_8859_1));
            return false;
        }
        return Boolean.parseBoolean(load(eula).getProperty("eula", "false"));
    }

    // What the real server does with an error in its tick loop: a crash
    // report, its path in the log, and a stop.
    private static void crash(Throwable error) throws IOException {
        StringWriter trace = new StringWriter();
        error.printStackTrace(new PrintWriter(trace));
        log("ERROR", "Encountered an unexpected exception");
        for (String line : trace.toString().split("\\R")) log("ERROR", line);
        Path folder = Files.createDirectories(Paths.get("crash-reports"));
        Path report = folder.resolve("crash-" + new SimpleDateFormat("yyyy-MM-dd_HH.mm.ss").format(new Date())
                                     + "-server.txt");
        String body = "---- Crash Report ----\n\nTime: " + new Date() + "\nDescription: Exception in server tick loop\n\n"
                + trace;
        Files.write(report, body.getBytes(StandardCharsets.UTF_8));
        log("ERROR", "This crash report has been saved to: " + Paths.get("").toAbsolutePath() + "/./" + report);
        save("crash");
        System.exit(0);
    }

    public static void main(String[] args) throws IOException {
        long start = System.nanoTime();
        openLog();
        log("Starting server version " + VERSION);
        log("Loading properties");
        Properties settings = properties();
        if (!agreed()) {
            log("You need to agree to the EULA in order to run the server. Go to eula.txt for more info.");
            log("Stopping server");
            System.exit(0);
        }
        log("Default game type: SURVIVAL");
        String ip = settings.getProperty("server-ip", "");
        int port;
        try {
            port = Integer.parseInt(settings.getProperty("server-port", "25565"));
        } catch (NumberFormatException e) {
            port = 25565;
        }
        log("Starting server on " + (ip.isEmpty() ? "*" : ip) + ":" + port);
        ServerSocket listening = new ServerSocket();
        try {
            listening.bind(new InetSocketAddress(ip.isEmpty() ? null : InetAddress.getByName(ip), port));
        } catch (IOException e) {
            log("WARN", "**** FAILED TO BIND TO PORT!");
            log("WARN", "The exception was: " + e);
            log("WARN", "Perhaps a server is already running on that port?");
            log("Stopping server");
            System.exit(0);
        }
        log("Preparing level \"world\"");
        Runtime.getRuntime().addShutdownHook(new Thread(() -> save("signal")));
        log(String.format("Done (%.3fs)! For help, type \"help\"", (System.nanoTime() - start) / 1e9));

        BufferedReader console = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        String line;
        while ((line = console.readLine()) != null) {
            String command = line.trim();
            if (command.isEmpty()) continue;
            String[] words = command.split("\\s+", 2);
            switch (words[0].toLowerCase()) {
                case "stop":
                    save("stop");
                    System.exit(0);
                    return;
                case "help":
                    log("Commands: help, list, say <message>, save, stop, crash, oom");
                    break;
                case "list":
                    log("There are 0 of a max 20 players online");
                    break;
                case "say":
                    log("[Server] " + (words.length > 1 ? words[1] : ""));
                    break;
                case "save":
                    saved.set(false);
                    save("save");
                    saved.set(false);
                    break;
                case "crash":
                    crash(new RuntimeException("Manually triggered debug crash"));
                    return;
                case "oom":
                    crash(new OutOfMemoryError("Java heap space"));
                    return;
                default:
                    log("Unknown command \"" + words[0] + "\". Type \"help\" for help.");
            }
        }
        save("end of input");
        System.exit(0);
    }
}
