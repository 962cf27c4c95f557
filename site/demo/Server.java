// A small console server for the demo distribution site: it starts, reads
// commands from its console, and saves its world on "stop", on SIGINT and on
// SIGTERM before it exits.

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.concurrent.atomic.AtomicBoolean;

public final class Server {
    private static final String VERSION = "1.12.2";
    private static final AtomicBoolean saved = new AtomicBoolean(false);

    private static void log(String text) {
        System.out.println("[Server/INFO] " + text);
        System.out.flush();
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
            System.out.println("[Server/ERROR] Could not save the world: " + e.getMessage());
        }
    }

    private static boolean agreed() throws IOException {
        Path eula = Paths.get("eula.txt");
        if (!Files.exists(eula)) return false;
        for (String line : Files.readAllLines(eula, StandardCharsets.UTF_8)) {
            if (line.trim().equalsIgnoreCase("eula=true")) return true;
        }
        return false;
    }

    public static void main(String[] args) throws IOException {
        long start = System.nanoTime();
        log("Starting server version " + VERSION);
        if (!agreed()) {
            log("You need to agree to the EULA in order to run the server. Go to eula.txt for more info.");
            System.exit(1);
        }
        log("Loading properties");
        log("Default game type: SURVIVAL");
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
                    log("Commands: help, list, say <message>, save, stop");
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
                default:
                    log("Unknown command \"" + words[0] + "\". Type \"help\" for help.");
            }
        }
        save("end of input");
        System.exit(0);
    }
}
