package hbagent;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * hbagent against the real library: connector libraries that cannot be
 * loaded say why, and the messages the library composes print with the
 * catalogue's text. Needs -Dhbconnector.library and the probe connectors
 * (-Dhbagent.test.connector, .unstamped, .unlinked).
 */
public final class StartupTests extends TestCase {
    private static String library(String name) {
        String file = System.getProperty("hbagent.test." + name);
        check(file != null && Files.isRegularFile(Path.of(file)), "no test library hbagent.test." + name);
        return file;
    }

    StartupTests() throws Exception {
        Path scenario = write("start.scenario", "start\n");

        test("a connector library that does not exist is named as missing", () -> {
            Path none = dir().resolve("libnothere.so");
            Output run = InputCheckTests.hbagent("-c", none.toString(), scenario.toString());
            InputCheckTests.exitsWith(2, "cannot load the connector library " + none + ": the file does not exist",
                    run);
        });

        test("a connector linked without HbConnector names the missing symbol and the link order", () -> {
            String unlinked = library("unlinked");
            Output run = InputCheckTests.hbagent("-c", unlinked, scenario.toString());
            InputCheckTests.exitsWith(2, "cannot load the connector library " + unlinked + ": it needs the symbol ",
                    run);
            check(run.err().contains("put $(pkg-config --libs hbconnector) after the sources"), run.err());
            String said = run.err().substring(run.err().indexOf("needs the symbol ") + "needs the symbol ".length());
            String name = said.substring(0, said.indexOf(", which"));
            check(name.contains("ConnectorBase"), "the symbol is one of ConnectorBase's: " + name);
            if (LibraryLoad.onPath("c++filt") != null) {
                // Demangled, with the mangled name beside it.
                check(!name.startsWith("_Z") && name.matches(".+ \\(_Z\\w+\\)"), name);
            } else {
                check(name.matches("_Z\\w+"), name);
            }
        });

        test("demangling and the other load failures", () -> {
            if (LibraryLoad.onPath("c++filt") != null) {
                equal("hbprobe::missing(int)", LibraryLoad.demangle("_ZN7hbprobe7missingEi"));
            }
            equal("plain_c_symbol", LibraryLoad.demangle("plain_c_symbol"));
            equal("_Zbogus", LibraryLoad.demangle("_Zbogus"));
            check(LibraryLoad.explain("/x/libc.so: libsqlite3.so.0: cannot open shared object file: No such file"
                    + " or directory").startsWith("a library it needs, libsqlite3.so.0, is not found"), "dependency");
            check(LibraryLoad.explain("/x/libc.so: /x/libc.so: invalid ELF header")
                    .startsWith("the file is not a shared library for this machine"), "not ELF");
            equal("something else", LibraryLoad.explain("something else"));
        });

        test("a connector without a version stamp: message 17203 with the catalogue's text", () -> {
            String unstamped = library("unstamped");
            Output run = InputCheckTests.hbagent("-c", unstamped, scenario.toString());
            InputCheckTests.exitsWith(2, "start-up failed: n_init returned -1", run);
            check(run.out().contains("message [17203] the connector library " + unstamped
                    + " carries no framework version stamp; build it with hb_add_connector or HB_FRAMEWORK_VERSION"),
                    run.out());
        });

        test("messages composed while a connector runs print with their text and number", () -> {
            Path s = write("run.scenario", String.join("\n",
                    "start",
                    "expect log contains \"[80404] trace level 0 taken from AgentTraceLevel\"",
                    "trace 3",
                    "expect log contains \"[80405] trace level 3: trace lines of levels 0 to 3\"",
                    "poll",
                    "expect status -1",
                    "expect log contains \"[80401] the connector threw an exception in poll\"",
                    ""));
            Output run = InputCheckTests.hbagent("-c", library("connector"), s.toString());
            check(run.code() == 0, "exit " + run.code() + "\n" + run.out() + run.err());
            check(run.out().contains("4 expectations met, 0 failed"), run.out());
        });
    }

    public static void main(String[] args) throws Exception {
        System.exit(new StartupTests().runAll() == 0 ? 0 : 1);
    }
}
