package hbagent;

import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

/** Mistakes in hbagent's input files are reported at their file and line, before anything runs. */
public final class InputCheckTests extends TestCase {
    static Output hbagent(String... args) { return capture((out, err) -> Main.run(args, out, err)); }

    static void exitsWith(int code, String errPart, Output run) {
        check(run.code() == code && run.err().contains(errPart),
                "expected exit " + code + " and \"" + errPart + "\" on standard error, got exit " + run.code()
                        + " and <" + run.err() + ">");
    }

    /** hbagent on a scenario that only starts the connector of agent.properties. */
    private Output start() throws Exception {
        return hbagent(write("s.scenario", "properties agent.properties\nstart\n").toString());
    }

    InputCheckTests() throws Exception {
        write("agent.properties", "agent.connector = libnone.so\nagent.specs = types.spec\n");

        test("a spec naming an unknown child type fails at its file and line", () -> {
            write("types.spec", String.join("\n",
                    "spec Customer 1.0.0 {",
                    "  attr CustomerId String key",
                    "  attr Addresses Adress cardinality=n",
                    "}"));
            Output run = start();
            exitsWith(2, "types.spec:3: attribute Addresses has the type Adress, which is neither a simple type", run);
            check(run.out().isEmpty(), "nothing runs: " + run.out());
        });

        test("a child type defined in another spec file, or the spec itself, is known", () -> {
            Path a = write("a.spec", "spec Customer 1.0.0 {\n  attr Home Address\n  attr Parent Customer\n}\n");
            Path b = write("b.spec", "spec Address 1.0.0 {\n  attr City String\n}\n");
            List<SpecText.ChildUse> uses = new ArrayList<>();
            Set<String> known = new HashSet<>();
            for (Path file : List.of(a, b)) {
                for (Spec s : Scenario.loadSpecs(file, StandardCharsets.UTF_8, uses)) {
                    known.add(s.name());
                }
            }
            equal(2, uses.size());
            SpecText.checkChildTypes(uses, known, StandardCharsets.UTF_8);
            known.remove("Address");
            fails("a.spec:2: attribute Home has the type Address",
                    () -> SpecText.checkChildTypes(uses, known, StandardCharsets.UTF_8));
        });

        test("a spec sent by a scenario step is checked at its own file and line", () -> {
            write("types.spec", "spec Customer 1.0.0 {\n  attr CustomerId String\n}\n");
            write("more.spec", "spec Order 1.0.0 {\n  attr OrderId String\n  attr Buyer Custmer\n}\n");
            Output run = hbagent(write("s.scenario", "properties agent.properties\nstart\nspecs more.spec\n").toString());
            exitsWith(2, "more.spec:3: attribute Buyer has the type Custmer", run);
        });

        test("maxLength takes a number only", () -> {
            write("types.spec", "spec Customer 1.0.0 {\n  attr Id String\n  attr Name String maxLength=abc\n}\n");
            exitsWith(2, "types.spec:3: maxLength must be a number, not \"abc\"", start());
            for (String bad : List.of("-1", "\"\"", "12x", "2147483648", "99999999999")) {
                write("types.spec", "spec Customer 1.0.0 {\n  attr Name String maxLength=" + bad + "\n}\n");
                fails("types.spec:2: maxLength must be a number", () -> Scenario.loadSpecs(dir().resolve("types.spec"),
                        StandardCharsets.UTF_8));
            }
            write("types.spec", "spec Customer 1.0.0 {\n  attr Name String maxLength=2147483647\n}\n");
            equal("2147483647", Scenario.loadSpecs(dir().resolve("types.spec"), StandardCharsets.UTF_8).get(0).attrs()
                    .get(0).maxLength());
        });

        test("a missing HbConnector library file is named before the virtual machine tries it", () -> {
            write("types.spec", "spec Customer 1.0.0 {\n  attr Id String\n}\n");
            Path none = dir().resolve("no-such-libHbConnector.so");
            String before = System.setProperty("hbconnector.library", none.toString());
            try {
                exitsWith(2, "cannot load the HbConnector library " + none + ": the file does not exist", start());
            } finally {
                if (before == null) {
                    System.clearProperty("hbconnector.library");
                } else {
                    System.setProperty("hbconnector.library", before);
                }
            }
        });

        test("a scenario without steps fails with exit status 2", () -> {
            write("types.spec", "spec Customer 1.0.0 {\n  attr Id String\n}\n");
            exitsWith(2, "empty.scenario:1: the scenario has no steps",
                    hbagent(write("empty.scenario", "").toString()));
            exitsWith(2, "notes.scenario:4: the scenario has no steps", hbagent(write("notes.scenario",
                    "# only a comment, a properties line and a note\nproperties agent.properties\nnote \"hi\"\n")
                    .toString()));
        });
    }

    public static void main(String[] args) throws Exception {
        System.exit(new InputCheckTests().runAll() == 0 ? 0 : 1);
    }
}
