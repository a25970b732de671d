package hbagent;

/**
 * A failure the agent reports in one line and stops on: a file that cannot be
 * read, a record that does not fit its specification, a connector that does
 * not start. The message says where (file and line when known) and why.
 */
public class HbAgentException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public HbAgentException(String message) { super(message); }

    public HbAgentException(String message, Throwable cause) { super(message, cause); }
}
