package hbagent;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Loads a shared library into the virtual machine and, when that fails, says
 * why in terms a connector author can act on: the file is missing, a symbol
 * is missing (demangled when c++filt is on the PATH), or a library it needs
 * is not found, with the likely cause.
 */
final class LibraryLoad {
    private static final Pattern UNDEFINED_SYMBOL = Pattern.compile("undefined symbol: (\\S+)");
    private static final Pattern MISSING_DEPENDENCY =
            Pattern.compile("(\\S+): cannot open shared object file");
    /** How long c++filt may take for one name. */
    private static final long DEMANGLE_SECONDS = 5;

    private LibraryLoad() {}

    /** Loads file (what names it in messages, e.g. "the connector library"); throws with the reason. */
    static void load(String what, Path file) {
        Path absolute = file.toAbsolutePath().normalize();
        if (!Files.exists(absolute)) {
            throw new HbAgentException("cannot load " + what + " " + absolute + ": the file does not exist");
        }
        if (!Files.isRegularFile(absolute)) {
            throw new HbAgentException("cannot load " + what + " " + absolute + ": not a file");
        }
        try {
            System.load(absolute.toString());
        } catch (LinkageError e) {
            throw new HbAgentException("cannot load " + what + " " + absolute + ": " + explain(e.getMessage()));
        }
    }

    /** The reason in a loader's message, with its likely cause. */
    static String explain(String message) {
        String m = message == null ? "" : message;
        Matcher symbol = UNDEFINED_SYMBOL.matcher(m);
        if (symbol.find()) {
            String mangled = symbol.group(1);
            String name = demangle(mangled);
            return "it needs the symbol " + (name.equals(mangled) ? name : name + " (" + mangled + ")")
                    + ", which no loaded library defines. Likely cause: the library was linked without"
                    + " HbConnector, or with it named before the sources, which --as-needed (this compiler's"
                    + " default) drops: put $(pkg-config --libs hbconnector) after the sources, or build with"
                    + " hb_add_connector; else it was built against another HbConnector version, or it declares"
                    + " a function it never defines";
        }
        Matcher dependency = MISSING_DEPENDENCY.matcher(m);
        if (dependency.find()) {
            return "a library it needs, " + dependency.group(1) + ", is not found: install it, add its folder"
                    + " to LD_LIBRARY_PATH, or link the connector with an rpath to it";
        }
        if (m.contains("invalid ELF header") || m.contains("file too short") || m.contains("wrong ELF class")) {
            return "the file is not a shared library for this machine (" + m + ")";
        }
        return m;
    }

    /** The C++ name of a mangled symbol through c++filt from the PATH; the symbol itself when that fails. */
    static String demangle(String symbol) {
        if (!symbol.startsWith("_Z")) {
            return symbol;
        }
        Path tool = onPath("c++filt");
        if (tool == null) {
            return symbol;
        }
        try {
            Process p = new ProcessBuilder(tool.toString(), symbol).redirectErrorStream(true).start();
            p.getOutputStream().close();
            byte[] out;
            try (InputStream in = p.getInputStream()) {
                out = in.readNBytes(4096);
            }
            if (!p.waitFor(DEMANGLE_SECONDS, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                return symbol;
            }
            String name = new String(out, StandardCharsets.UTF_8).trim();
            return p.exitValue() == 0 && !name.isEmpty() && !name.contains("\n") ? name : symbol;
        } catch (IOException e) {
            return symbol;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return symbol;
        }
    }

    /** The executable of that name in a folder of the PATH, or null. */
    static Path onPath(String program) {
        String path = System.getenv("PATH");
        if (path == null) {
            return null;
        }
        for (String dir : path.split(File.pathSeparator)) {
            if (dir.isEmpty()) {
                continue;
            }
            Path candidate = Path.of(dir, program);
            if (Files.isRegularFile(candidate) && Files.isExecutable(candidate)) {
                return candidate;
            }
        }
        return null;
    }
}
