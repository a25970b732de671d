package hbagent;

import AppSide_Connector.AgentSettings;
import AppSide_Connector.BusObjNativeInterface;
import AppSide_Connector.UpcallLog;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;

/**
 * The start-up steps that scenario runs and "hbagent serve" share: the
 * agent's answers from the properties, loading the library and the
 * connector, sending the specifications and subscribing the collaborations.
 */
final class Startup {
    private Startup() {}

    /** The agent's answers as the properties set them (encoding, locale, delta support, properties, collaborations). */
    static AgentSettings settings(AgentConfig config) {
        AgentSettings settings = new AgentSettings()
                .setEncoding(config.encoding)
                .setLocale(config.locale)
                .setDefaultDeltaSupport(config.defaultDeltaSupport)
                .setCapableOfPolling(config.pollingCapable);
        for (Map.Entry<String, String> p : config.connectorProperties.entrySet()) {
            settings.setConfigProp(p.getKey(), p.getValue());
        }
        for (Map.Entry<String, String> d : config.deltaSupport.entrySet()) {
            settings.setDeltaSupport(d.getKey(), d.getValue());
        }
        StringBuilder names = new StringBuilder();
        for (String name : config.collaborations.keySet()) {
            names.append(name).append(WireTokens.BUSOBJ_DELIMITER);
        }
        settings.setCollabNames(names.toString());
        return settings;
    }

    /** Loads the HbConnector library (through the agent class) and then the connector library. */
    static BusObjNativeInterface load(AgentConfig config, AgentSettings settings, UpcallLog log) {
        if (config.connector == null) {
            throw new HbAgentException("no connector library: give --connector or agent.connector");
        }
        // Read before any upcall can need it, so a damaged jar stops here.
        Messages.bundled();
        String library = System.getProperty(BusObjNativeInterface.LIBRARY_PROPERTY);
        if (library != null && !library.isEmpty() && !Files.isRegularFile(Path.of(library))) {
            throw new HbAgentException("cannot load the HbConnector library " + library
                    + ": the file does not exist");
        }
        BusObjNativeInterface agent;
        try {
            agent = new BusObjNativeInterface(settings, log);
        } catch (LinkageError e) {
            throw new HbAgentException("cannot load the HbConnector library ("
                    + (library != null ? library : "java.library.path") + "): " + LibraryLoad.explain(e.getMessage()));
        }
        LibraryLoad.load("the connector library", config.connector);
        return agent;
    }

    /** Sends one specification through the text or the byte-array method; returns the line that says so. */
    static String sendSpec(BusObjNativeInterface agent, AgentConfig config, Spec spec) {
        String wire = spec.toWire();
        if (config.specsAsBytes()) {
            byte[] bytes = Arrays.copyOf(ByteText.bytes(wire), wire.length() + 1);
            agent.n_gotBusObjSpecI18n(bytes);
        } else {
            String text = ByteText.decodeStrict(wire, StandardCharsets.UTF_8);
            if (text == null) {
                throw new HbAgentException("specification " + ByteText.show(spec.name(), config.valueCharset())
                        + " is not UTF-8 text: send specifications as bytes (agent.specForm=bytes)");
            }
            agent.n_gotBusObjSpec(text);
        }
        return "spec " + ByteText.show(spec.name(), config.valueCharset()) + " "
                + ByteText.show(spec.version(), config.valueCharset()) + " sent (" + spec.attrs().size()
                + " attributes, " + spec.verbs().size() + " verbs)";
    }

    /** Subscribes every collaboration of the properties; returns a line per subscription. */
    static List<String> subscribe(BusObjNativeInterface agent, AgentConfig config) {
        List<String> lines = new ArrayList<>();
        for (Map.Entry<String, List<String[]>> c : config.collaborations.entrySet()) {
            for (String[] sub : c.getValue()) {
                int r = agent.n_SubscribeTo(sub[0], sub[1], 0);
                lines.add("collaboration " + c.getKey() + " subscribes to " + sub[0] + " "
                        + (sub[1] == null ? "(every verb)" : sub[1]) + ": " + r);
            }
        }
        return lines;
    }
}
