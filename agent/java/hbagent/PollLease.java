package hbagent;

import javax.jms.DeliveryMode;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageProducer;
import javax.jms.Queue;
import javax.jms.Session;
import org.apache.activemq.ActiveMQConnection;
import org.apache.activemq.ActiveMQMessageConsumer;
import org.apache.activemq.ActiveMQSession;
import org.apache.activemq.RedeliveryPolicy;

/**
 * The right to call n_poll, held by one agent of a connector at a time
 * through the broker: every agent is an exclusive consumer of the lease
 * queue, and the broker delivers to one of them only. A token message in the
 * queue is the lease; the agent that received it holds it unacknowledged for
 * as long as its connection lives. When that connection dies the broker
 * gives the token, and exclusivity, to another agent's consumer.
 *
 * <p>Each agent puts one token in at start-up, so that a lease exists even
 * on a new broker; the holder acknowledges (discards) every further token it
 * receives, which keeps one in the queue. Tokens are persistent, so a broker
 * restart keeps the lease.
 */
final class PollLease {
    private final Session session;
    private final ActiveMQMessageConsumer consumer;
    private volatile boolean held;
    private volatile boolean lost;
    private volatile Message token;

    /** Joins the lease queue of the connection's broker and puts a token in. */
    PollLease(ActiveMQConnection connection, String queue) throws JMSException {
        session = connection.createSession(false, ActiveMQSession.INDIVIDUAL_ACKNOWLEDGE);
        // A window of two: the held token and one more, discarded, so that extra tokens drain.
        Queue destination = session.createQueue(queue + "?consumer.exclusive=true&consumer.prefetchSize=2");
        consumer = (ActiveMQMessageConsumer) session.createConsumer(destination);
        // The token comes back after every holder that died; it must never count as a poison message.
        RedeliveryPolicy unlimited = new RedeliveryPolicy();
        unlimited.setMaximumRedeliveries(RedeliveryPolicy.NO_MAXIMUM_REDELIVERIES);
        consumer.setRedeliveryPolicy(unlimited);
        MessageProducer producer = session.createProducer(session.createQueue(queue));
        producer.send(session.createTextMessage("poll lease"), DeliveryMode.PERSISTENT, Message.DEFAULT_PRIORITY,
                Message.DEFAULT_TIME_TO_LIVE);
        producer.close();
    }

    /**
     * Waits up to the given time for a token; returns whether this agent
     * holds the lease. A token received while holding one is discarded.
     */
    boolean await(long millis) throws JMSException {
        Message m = consumer.receive(Math.max(1, millis));
        if (m != null && !lost) {
            if (held) {
                m.acknowledge();
            } else {
                token = m;
                held = true;
            }
        }
        return held && !lost;
    }

    boolean held() { return held && !lost; }

    /**
     * The connection was interrupted: the broker took the token back. This
     * lease is done; the agent joins again with a new one once connected
     * (the client may drop a token delivered again after a reconnection as
     * a duplicate, and a new token makes sure one exists).
     */
    void lost() {
        held = false;
        lost = true;
        token = null;
    }

    boolean isLost() { return lost; }

    /** Gives the lease up: the token goes back to the queue for another agent. */
    void close() {
        held = false;
        token = null;
        try {
            session.close();
        } catch (JMSException e) {
            // The connection is gone already, which gives the token back as well.
        }
    }
}
