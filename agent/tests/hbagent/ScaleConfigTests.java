package hbagent;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;

/**
 * The scale-out settings: network connector lists, the inactivity limit
 * put into broker URLs from the poll lease timeout, and their bounds.
 */
final class ScaleConfigTests extends TestCase {
    private ScaleConfigTests() {
        test("network connectors split at commas outside parentheses", this::networkConnectors);
        test("the inactivity limit goes into plain and failover URLs once", this::inactivityLimit);
        test("pollLeaseTimeout: default, bounds, and the lease queue's name", this::leaseTimeout);
    }

    public static void main(String[] args) {
        System.exit(new ScaleConfigTests().runAll() == 0 ? 0 : 1);
    }

    private static ServiceConfig service(String... defines) {
        List<String> all = new ArrayList<>(List.of("ConnectorName=Shop", "agent.broker.url=tcp://127.0.0.1:61616"));
        all.addAll(List.of(defines));
        return ServiceConfig.of(config(all.toArray(new String[0])), Map.of());
    }

    private void networkConnectors() throws Exception {
        equal(List.of(), ServiceConfig.splitTopLevel(""));
        equal(List.of(), ServiceConfig.splitTopLevel(" , ,"));
        equal(List.of("static:(tcp://127.0.0.1:1,tcp://127.0.0.1:2)?duplex=true", "static:(tcp://127.0.0.1:3)"),
                ServiceConfig.splitTopLevel(" static:(tcp://127.0.0.1:1,tcp://127.0.0.1:2)?duplex=true ,"
                        + "static:(tcp://127.0.0.1:3)"));
        equal(List.of("masterslave:(tcp://a:1,tcp://b:2)"), ServiceConfig.splitTopLevel("masterslave:(tcp://a:1,tcp://b:2)"));
        fails("unbalanced parentheses", () -> ServiceConfig.splitTopLevel("static:(tcp://a:1,tcp://b:2"));
        fails("unbalanced parentheses", () -> ServiceConfig.splitTopLevel("static:tcp://a:1),(x"));
        equal(List.of("static:(tcp://127.0.0.1:1)", "static:(tcp://127.0.0.1:2)"), service(
                "agent.broker.networkConnectors=static:(tcp://127.0.0.1:1),static:(tcp://127.0.0.1:2)")
                .networkConnectors);
        equal(List.of(), service().networkConnectors);
    }

    private void inactivityLimit() {
        equal("tcp://127.0.0.1:1?wireFormat.maxInactivityDuration=5000"
                        + "&wireFormat.maxInactivityDurationInitalDelay=5000",
                ServiceConfig.withInactivityLimit("tcp://127.0.0.1:1", 10000));
        equal("tcp://h:1?soTimeout=3&wireFormat.maxInactivityDuration=1500"
                        + "&wireFormat.maxInactivityDurationInitalDelay=1500",
                ServiceConfig.withInactivityLimit("tcp://h:1?soTimeout=3", 3000));
        // The nested URLs' own options stay theirs; the failover's options come after the parenthesis.
        equal("failover:(tcp://a:1?x=1,tcp://b:2)?nested.wireFormat.maxInactivityDuration=2000"
                        + "&nested.wireFormat.maxInactivityDurationInitalDelay=2000",
                ServiceConfig.withInactivityLimit("failover:(tcp://a:1?x=1,tcp://b:2)", 4000));
        equal("failover:(tcp://a:1)?randomize=false&nested.wireFormat.maxInactivityDuration=2000"
                        + "&nested.wireFormat.maxInactivityDurationInitalDelay=2000",
                ServiceConfig.withInactivityLimit("failover:(tcp://a:1)?randomize=false", 4000));
        String own = "tcp://a:1?wireFormat.maxInactivityDuration=0";
        equal(own, ServiceConfig.withInactivityLimit(own, 4000));
        equal("vm://hbagent?create=false", ServiceConfig.withInactivityLimit("vm://hbagent?create=false", 4000));
    }

    private void leaseTimeout() throws Exception {
        equal(10000L, service().pollLeaseTimeout);
        equal(2500L, service("agent.pollLeaseTimeout=2500").pollLeaseTimeout);
        fails("between 1000 and", () -> service("agent.pollLeaseTimeout=999"));
        fails("is a number", () -> service("agent.pollLeaseTimeout=10s"));
        equal("hb.Shop.poll-lease", service().pollLeaseQueue());
        fails("carries a password", () -> service("agent.broker.networkConnectors=static:(tcp://127.0.0.1:1)?password=x"));
    }
}
